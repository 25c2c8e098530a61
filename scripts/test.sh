#!/usr/bin/env bash
# Installs what is missing, builds Kestrel and runs the whole test suite.
#   scripts/test.sh              release build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --fuzz       clang libFuzzer build in build-fuzz/: each fuzz target fuzzes for
#                                KESTREL_FUZZ_SECONDS (30) from its seeds (tests/fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
tests=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  options=(-DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=ON -DKESTREL_BUILD_BENCHMARKS=OFF)
elif [ "${1:-}" = "--fuzz" ]; then
  build=build-fuzz
  export CC=clang CXX=clang++
  options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_FUZZ=ON)
  tests=(-L fuzz)
fi

cmake -S . -B "$build" -G Ninja "${options[@]}"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "${tests[@]}"
