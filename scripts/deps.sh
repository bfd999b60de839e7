#!/usr/bin/env bash
# Installs the build tools and test libraries when they are missing (Debian, as root).
#   scripts/deps.sh [--tests] [--m32] [--arm] [--format]
#     --tests: test libraries and clang; --m32: what g++ -m32 and qemu-i386 need; --arm: the ARM cross
#     compilers (32 and 64-bit), qemu-arm, qemu-aarch64 and GoogleTest's sources; --format: clang-format 14
set -euo pipefail
tests=0 m32=0 arm=0 format=0
for arg in "$@"; do
  case "$arg" in
    --tests) tests=1 ;;
    --m32) m32=1 ;;
    --arm) arm=1 ;;
    --format) format=1 ;;
  esac
done

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v nm >/dev/null || need+=(binutils)
command -v pkg-config >/dev/null || need+=(pkg-config)
[ -f /usr/include/soxr.h ] || need+=(libsoxr-dev)
# velmdsd info reads ID3v2 tags with TagLib.
[ -f /usr/include/taglib/id3v2tag.h ] || need+=(libtag1-dev)
# The stand-in host downloads http:// sources through libcurl.
dpkg -s "libcurl4-openssl-dev:$(dpkg --print-architecture)" >/dev/null 2>&1 || need+=(libcurl4-openssl-dev)
if [ $tests = 1 ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  command -v clang++ >/dev/null || need+=(clang)
  command -v ffmpeg >/dev/null || need+=(ffmpeg)  # decodes our DST files as a check of the encoder
  [ -x /usr/bin/python3 ] || need+=(python3)  # the test HTTP server
  # Files tagged by an outside writer for the tag display tests.
  /usr/bin/python3 -c 'import mutagen' 2>/dev/null || need+=(python3-mutagen)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan* >/dev/null 2>&1 || need+=(libclang-rt-dev)
  # The Java classes and the JVM tests (JUnit 5 console launcher).
  command -v javac >/dev/null || need+=(default-jdk-headless)
  [ -f /usr/share/java/junit-platform-console-standalone.jar ] || need+=(junit5)
fi
if [ $m32 = 1 ]; then
  # g++-12-multilib, not the g++-multilib package: that one conflicts with the ARM cross compilers.
  dpkg -s g++-12-multilib >/dev/null 2>&1 || need+=(g++-12-multilib)
  command -v qemu-i386 >/dev/null || need+=(qemu-user)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(libgtest-dev)
  if ! dpkg -s libcurl4-openssl-dev:i386 >/dev/null 2>&1; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    need+=(libcurl4-openssl-dev:i386)
  fi
fi
if [ $arm = 1 ]; then
  command -v arm-linux-gnueabi-g++ >/dev/null || need+=(g++-arm-linux-gnueabi)
  command -v arm-linux-gnueabihf-g++ >/dev/null || need+=(g++-arm-linux-gnueabihf)
  command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
  command -v qemu-arm >/dev/null || need+=(qemu-user)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(libgtest-dev)
fi
if [ $format = 1 ]; then
  command -v clang-format-14 >/dev/null || need+=(clang-format-14)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  # A mirror in the middle of a sync serves index files of the wrong size for a while: try again,
  # then go on with what was fetched (the install says so if a package cannot be had).
  for try in 1 2 3; do
    apt-get update -qq && break
    [ $try = 3 ] || sleep 15
  done
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; then
    # 32-bit libraries must have exactly the version of their 64-bit twins. When the security
    # suite's i386 index cannot be had, apt sees newer 64-bit versions than 32-bit ones and gives
    # up: install from the main suites alone, where the two match.
    sources=/etc/apt/sources.list.d/debian.sources
    [ $m32 = 1 ] && [ -f $sources ] || exit 1
    echo "installing from the main suites without the security suite"
    parts=$(mktemp -d)
    awk 'BEGIN { RS = ""; ORS = "\n\n" } !/debian-security/' $sources > "$parts/main.sources"
    apt-get update -qq -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$parts"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o Dir::Etc::sourcelist=/dev/null \
        -o Dir::Etc::sourceparts="$parts" "${need[@]}"
    rm -rf "$parts"
    apt-get update -qq || true
  fi
fi
