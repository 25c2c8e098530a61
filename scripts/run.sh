#!/usr/bin/env bash
# Installs what is missing, builds Kestrel and starts it.
# Usage: scripts/run.sh [--network] [--demo] [KESTREL-OPTIONS...]
#   --network  the local web service listens for phones on this network too
#   --demo     a new database first gets a demo phone with positions around Munich
set -euo pipefail
cd "$(dirname "$0")/.."

service=()
program=()
for argument in "$@"; do
  case "$argument" in
    --network|--demo) service+=("$argument") ;;
    *) program+=("$argument") ;;
  esac
done

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kestrel kestrel-service

# The local web service: started on first use unless one already answers at
# the base URL; for this computer only unless --network is given.
bash scripts/start-service.sh "${service[@]}" build/kestrel-service || true

exec build/kestrel "${program[@]}"
