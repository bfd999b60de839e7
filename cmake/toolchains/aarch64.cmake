# 64-bit ARM (ARMv8-A, Android's arm64-v8a) with Debian's cross g++, run under qemu-user.
# Advanced SIMD is part of the base architecture: no FPU choice to make.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(aarch64_triple aarch64-linux-gnu)
set(aarch64_sysroot /usr/${aarch64_triple})
set(CMAKE_C_COMPILER ${aarch64_triple}-gcc)
set(CMAKE_CXX_COMPILER ${aarch64_triple}-g++)
# The least an arm64-v8a phone has; nothing later (no -mcpu of one core) in what ships.
set(CMAKE_C_FLAGS_INIT "-march=armv8-a")
set(CMAKE_CXX_FLAGS_INIT "-march=armv8-a")

# Libraries, headers and packages of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH ${aarch64_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and gtest_discover_tests run the target's programs through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${aarch64_sysroot})
