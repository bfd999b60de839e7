#!/usr/bin/env bash
# Builds the library, the stand-in host, the tools and the tests, and runs every test.
#   scripts/test.sh             g++, optimised build
#   scripts/test.sh --sanitize  clang with AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh --m32       g++ -m32: a 32-bit x86 build run under qemu-i386, GoogleTest built
#                               from its sources; its decodings compared with the 64-bit build's
# VELMDSD_WERROR=ON in the environment turns warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tests ${1:+"$1"}
werror=-DVELMDSD_WERROR=${VELMDSD_WERROR:-OFF}

if [ "${1:-}" = "--sanitize" ]; then
  dir=build-sanitize
  export VELMDSD_SANITIZED=1
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELMDSD_SANITIZE=ON -DVELMDSD_BENCH=OFF "$werror"
elif [ "${1:-}" = "--m32" ]; then
  dir=build-m32
  # The 32-bit libraries' pkg-config files (libcurl for the stand-in host).
  PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig \
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELMDSD_BENCH=OFF "$werror"
else
  dir=build
  # VELMDSD_REQUIRE_JAVA=ON (.ci/run): no JDK, no jars or no JVM tests is an error, not a note.
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$werror" -DVELMDSD_REQUIRE_JAVA="${VELMDSD_REQUIRE_JAVA:-OFF}"
fi
cmake --build "$dir" -j"$(nproc)"
if [ "${1:-}" = "--m32" ]; then
  # Under emulation the high-quality converter's measurement on long tones is left out: the 32-bit
  # build's decodings are compared with the 64-bit build's below instead.
  ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure -E '^Quality\.HighQualityModeMeetsItsTargets$'
else
  ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure
fi
# The library as it ships (a sanitized build carries the sanitizers' own start-up code).
[ "${1:-}" = "--sanitize" ] || scripts/check-library.sh "$dir/libvelmdsd.so"
if [ "${1:-}" = "--m32" ]; then
  # The same bytes as the 64-bit build, decoding for decoding.
  cmake -S . -B build "$werror" >/dev/null
  cmake --build build -j"$(nproc)" --target velmdsd-tool
  scripts/compare-decodings.sh i386 build/tools/velmdsd qemu-i386 "$dir/tools/velmdsd"
fi
