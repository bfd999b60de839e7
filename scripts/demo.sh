#!/usr/bin/env bash
# Builds the command-line tool and runs its demo: a DSD test tone decoded to PCM, DoP and raw DSD.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
echo "Building velmdsd (build-demo/, a minute or two the first time)..."
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DVELMDSD_TESTS=OFF -DVELMDSD_BENCH=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target velmdsd-tool
echo
build-demo/tools/velmdsd demo "$@"
