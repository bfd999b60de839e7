#!/usr/bin/env bash
# Builds the library, the stand-in host, the tools and the tests, and runs every test.
#   scripts/test.sh             g++, optimised build
#   scripts/test.sh --sanitize  clang with AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/test.sh --m32       g++ -m32: a 32-bit x86 build run under qemu-i386, GoogleTest built
#                               from its sources; its decodings compared with the 64-bit build's
#   scripts/test.sh --tsan      clang with ThreadSanitizer: the host, stream, channel-operation and
#                               tool tests
#   scripts/test.sh --fuzz      clang with the sanitizers: libFuzzer on the readers for
#                               VELMDSD_FUZZ_RUNS inputs (default 60000) or VELMDSD_FUZZ_SECONDS
#                               (default 90), whichever ends first, from the seeds and the corpus,
#                               inputs up to 1 MB (the corpus replay runs with the other tests); the
#                               mutations follow VELMDSD_FUZZ_SEED (default 1), so a run can be
#                               repeated exactly, and a longer one searches further
# VELMDSD_WERROR=ON in the environment turns warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tests ${1:+"$1"}
werror=-DVELMDSD_WERROR=${VELMDSD_WERROR:-OFF}

if [ "${1:-}" = "--tsan" ]; then
  dir=build-tsan
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELMDSD_TSAN=ON -DVELMDSD_BENCH=OFF "$werror"
  cmake --build "$dir" -j"$(nproc)" --target velm_tests e2e_tests velmdsd-tool
  ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure \
        -R '^(Host(Core|Files|Net|Streams)|Stream(Net|SmallBlocks|Threads)|ChannelOps|CliTest)\.'
  exit 0
fi
if [ "${1:-}" = "--fuzz" ]; then
  dir=build-fuzz
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELMDSD_SANITIZE=ON -DVELMDSD_FUZZ=ON -DVELMDSD_BENCH=OFF "$werror"
  cmake --build "$dir" -j"$(nproc)" --target fuzz_readers fuzz_write_seeds
  # New inputs go to a scratch folder (listed first); the kept corpus is only read. Length control
  # off: libFuzzer would otherwise keep to inputs of a few kilobytes for most of a short run.
  rm -rf "$dir/fuzz-run" && mkdir -p "$dir/fuzz-run/inputs" "$dir/fuzz-run/artifacts"
  "$dir/tests/fuzz/fuzz_write_seeds" "$dir/fuzz-run/inputs"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  "$dir/tests/fuzz/fuzz_readers" "$dir/fuzz-run/inputs" tests/fuzz/corpus -dict=tests/fuzz/dsd_ids.dict \
      -seed="${VELMDSD_FUZZ_SEED:-1}" -runs="${VELMDSD_FUZZ_RUNS:-60000}" \
      -max_total_time="${VELMDSD_FUZZ_SECONDS:-90}" -max_len=1048576 -len_control=0 -timeout=20 \
      -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$dir/fuzz-run/artifacts/"
  exit 0
fi

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
# The high-quality converter's measurements on long tones and the aggressive modulator's sweep:
# minutes under emulation and in a sanitized Debug build, and nothing the native run does not
# check (the converter's memory use is checked on every ratio by its streamed-decode test).
sweeps='Quality\.HighQualityModeMeetsItsTargets|Quality\.HighQualityModeHoldsWhatTheBitsHold|Modulator\.AggressiveShaping.*'
if [ "${1:-}" = "--m32" ]; then
  # Under emulation ffmpeg's decoding of the DST encoder's files (test-signal code, most of its
  # time) too: the 32-bit build's decodings, a DST file's among them, are compared with the
  # 64-bit build's below instead.
  ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure -E "^($sweeps|DstFfmpeg\..*)\$"
elif [ "${1:-}" = "--sanitize" ]; then
  ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure -E "^($sweeps)\$"
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
