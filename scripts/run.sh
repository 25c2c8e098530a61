#!/usr/bin/env bash
# Installs what is missing, builds Kestrel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target kestrel kestrel-service

# The local web service: started on first use (with a demo phone when its
# database is empty) unless one already answers at the base URL.
bash scripts/start-service.sh build/kestrel-service || true

exec build/kestrel "$@"
