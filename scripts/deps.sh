#!/usr/bin/env bash
# Installs the build tools and test libraries when they are missing (Debian, as root).
#   scripts/deps.sh [--tests] [--m32]   --tests: test libraries and clang; --m32: what g++ -m32 needs
set -euo pipefail
tests=0 m32=0
for arg in "$@"; do
  case "$arg" in
    --tests) tests=1 ;;
    --m32) m32=1 ;;
  esac
done

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v nm >/dev/null || need+=(binutils)
if [ $tests = 1 ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  command -v clang++ >/dev/null || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan* >/dev/null 2>&1 || need+=(libclang-rt-dev)
  # The Java classes and the JVM tests (JUnit 5 console launcher).
  command -v javac >/dev/null || need+=(default-jdk-headless)
  [ -f /usr/share/java/junit-platform-console-standalone.jar ] || need+=(junit5)
fi
if [ $m32 = 1 ]; then
  dpkg -s g++-multilib >/dev/null 2>&1 || need+=(g++-multilib)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(libgtest-dev)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
