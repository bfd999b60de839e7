#!/usr/bin/env bash
# Builds the library, the stand-in host, the tools and the tests, and runs every test.
#   scripts/test.sh             g++, optimised build
#   scripts/test.sh --sanitize  clang with AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tests

if [ "${1:-}" = "--sanitize" ]; then
  dir=build-sanitize
  export VELMDSD_SANITIZED=1
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELMDSD_SANITIZE=ON -DVELMDSD_BENCH=OFF
else
  dir=build
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure
