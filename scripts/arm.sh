#!/usr/bin/env bash
# The shipping target, 32-bit ARM, built with Debian's cross compilers and run under qemu-arm:
#  1. armel-softfp with NEON as Release (what ships); every test under
#     qemu-arm except the long modulator sweeps of the test-signal library (below);
#  2. the ARM library checked as it ships (scripts/check-library.sh);
#  3. test files decoded in every form by the ARM tool and by the native one (build/, made by
#     scripts/test.sh), compared byte for byte;
#  4. library-only builds (libvelmdsd.so against a named libvelm.so, as for the Android NDK) with
#     the armel cross g++ and with clang --target=armv7a-linux-gnueabihf, checked the same way.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tests --arm
jobs=-j"$(nproc)"
werror=-DVELMDSD_WERROR=${VELMDSD_WERROR:-OFF} # .ci/run turns it on

arm=build-arm
# VELMDSD_ARM_CLANG=ON: the same target through clang and Debian's cross libraries, which unlike
# the cross g++ can stay installed beside gcc-multilib.
clang=-DVELMDSD_ARM_CLANG=${VELMDSD_ARM_CLANG:-OFF}
cmake -S . -B $arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armel-softfp.cmake -DVELMDSD_ARM_FPU=neon \
      -DCMAKE_BUILD_TYPE=Release "$werror" "$clang"
cmake --build $arm "$jobs"
# Left out under emulation: the modulator's stability, quality and level sweeps over seconds of
# test signal. They test dsdsignal (test-signal code that does not ship), take three quarters of
# the suite's time under qemu, and run in every native stage.
ctest --test-dir $arm "$jobs" --output-on-failure \
      -E '^(Tones/ModulatorStability|ModulatorQuality|Levels/MakeToneLevel)\.'
scripts/check-library.sh $arm/libvelmdsd.so arm-linux-gnueabi-

# ---- the same bytes on ARM and x86-64 ----------------------------------------------------
cmake -S . -B build "$werror" >/dev/null
cmake --build build "$jobs" --target velmdsd-tool
native=build/tools/velmdsd
target="qemu-arm -L /usr/arm-linux-gnueabi $arm/tools/velmdsd"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$native make-test "$work/stereo64.dsf" --seconds 1 --artist A --title T 2>/dev/null
$native make-test "$work/mono64.dsf" --channels 1 --seconds 0.5 --freq 3000 --level -3 2>/dev/null
$native make-test "$work/stereo128.dff" --rate 5644800 --seconds 0.5 --comment C 2>/dev/null
$native make-test "$work/six64.dff" --channels 6 --seconds 0.3 --freq 440 2>/dev/null
forms=("" "--float" "--rate 176400 --float" "--gain -3" "--dop" "--raw" "--start 0.1 --duration 0.15 --float")
compared=0
for file in "$work"/*.dsf "$work"/*.dff; do
  for i in "${!forms[@]}"; do
    # shellcheck disable=SC2086
    $native decode "$file" -o "$work/native.out" ${forms[$i]} 2>/dev/null
    # shellcheck disable=SC2086
    $target decode "$file" -o "$work/arm.out" ${forms[$i]} 2>/dev/null
    cmp "$work/native.out" "$work/arm.out" || { echo "differs: $(basename "$file") ${forms[$i]:-(PCM 16-bit)}"; exit 1; }
    compared=$((compared + 1))
  done
  cmp <($native info "$file" --json) <($target info "$file" --json)
done
echo "arm: $compared decodings byte-identical to x86-64 ($(ls "$work" | grep -c '\.d[sf]f$') files x ${#forms[@]} forms)"

# ---- library-only builds ------------------------------------------------------------------
library_only() { # build-dir toolchain tool-prefix [cmake options]
  local dir=$1 toolchain=$2 prefix=$3
  shift 3
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
        "$werror" -DVELMDSD_LIBRARY_ONLY=ON -DVELMDSD_VELM_LIBRARY="$PWD/$arm/libvelm.so" "$@"
  cmake --build "$dir" "$jobs"
  scripts/check-library.sh "$dir/libvelmdsd.so" "$prefix"
}
library_only build-arm-lib armel-softfp arm-linux-gnueabi- -DVELMDSD_ARM_FPU=vfpv3-d16 "$clang"
library_only build-armhf-clang armhf arm-linux-gnueabihf- -DVELMDSD_ARM_CLANG=ON
