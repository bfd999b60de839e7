#!/usr/bin/env bash
# The shipping targets, 32-bit and 64-bit ARM, built with Debian's cross compilers and run under
# qemu-user.   scripts/arm.sh [armv7|aarch64]   (both when not named; the native tool is shared)
# 32-bit ARM, run under qemu-arm:
#  1. armel-softfp with NEON as Release (what ships); every test under
#     qemu-arm except the long modulator sweeps of the test-signal library (below);
#  2. the ARM library checked as it ships (scripts/check-library.sh);
#  3. test files decoded in every form by the ARM tool and by the native one (build/, made by
#     scripts/test.sh), compared byte for byte;
#  4. library-only builds (libvelmdsd.so against a named libvelm.so, as for the Android NDK) with
#     the armel cross g++ and with clang --target=armv7a-linux-gnueabihf, checked the same way.
# 64-bit ARM (arm64-v8a), run under qemu-aarch64: a Release build, its tests (the same ones left
# out), the library checked, and its decodings compared with the native tool's.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --tests --arm
jobs=-j"$(nproc)"
stage=${1:-all}
werror=-DVELMDSD_WERROR=${VELMDSD_WERROR:-OFF} # .ci/run turns it on

# Left out under emulation: the modulator's stability, quality and level sweeps over seconds of
# test signal. They test dsdsignal (test-signal code that does not ship), take three quarters of
# the suite's time under qemu, and run in every native stage. So does the high-quality
# converter's measurements on DSD64 to DSD512 tones from both modulators (minutes each here):
# its bytes are compared with the native build's below. And ffmpeg's decoding of the DST
# encoder's files (three minutes under qemu-arm, nearly all of it the encoder, which is
# test-signal code too): the target's DST decoder is compared with the native one below.
emulated_out='^(Tones/ModulatorStability|ModulatorQuality|Modulator\.AggressiveShaping|Levels/MakeToneLevel|Quality\.HighQualityModeMeetsItsTargets|Quality\.HighQualityModeHoldsWhatTheBitsHold|DstFfmpeg\.)'

# ---- the same bytes on ARM and x86-64: the native tool, built once for both targets ---------
cmake -S . -B build "$werror" >/dev/null
cmake --build build "$jobs" --target velmdsd-tool

armv7() {
  local arm=build-arm clang
  # VELMDSD_ARM_CLANG=ON: the same target through clang and Debian's cross libraries, which unlike
  # the cross g++ can stay installed beside gcc-multilib.
  clang=-DVELMDSD_ARM_CLANG=${VELMDSD_ARM_CLANG:-OFF}
  cmake -S . -B $arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armel-softfp.cmake -DVELMDSD_ARM_FPU=neon \
        -DCMAKE_BUILD_TYPE=Release "$werror" "$clang"
  cmake --build $arm "$jobs"
  ctest --test-dir $arm "$jobs" --output-on-failure -E "$emulated_out"
  scripts/check-library.sh $arm/libvelmdsd.so arm-linux-gnueabi-
  scripts/compare-decodings.sh arm build/tools/velmdsd qemu-arm -L /usr/arm-linux-gnueabi $arm/tools/velmdsd

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
}

aarch64() {
  local a64=build-aarch64
  cmake -S . -B $a64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64.cmake -DCMAKE_BUILD_TYPE=Release "$werror"
  cmake --build $a64 "$jobs"
  ctest --test-dir $a64 "$jobs" --output-on-failure -E "$emulated_out"
  scripts/check-library.sh $a64/libvelmdsd.so aarch64-linux-gnu-
  scripts/compare-decodings.sh aarch64 build/tools/velmdsd qemu-aarch64 -L /usr/aarch64-linux-gnu $a64/tools/velmdsd
}

case $stage in
  armv7) armv7 ;;
  aarch64) aarch64 ;;
  all) armv7; aarch64 ;;
  *) echo "usage: scripts/arm.sh [armv7|aarch64]" >&2; exit 2 ;;
esac
