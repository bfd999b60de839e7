# 32-bit ARM (ARMv7-A, Thumb-2) with Debian's cross toolchains, run under qemu-user.
# Included by armhf.cmake and armel-softfp.cmake after they set arm_triple and arm_float_abi.
#   -DVELMDSD_ARM_FPU=vfpv3-d16 (default, the least an armeabi-v7a phone has) or neon
#   -DVELMDSD_ARM_CLANG=ON      clang --target=armv7a-<triple> instead of the cross g++
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

if(NOT VELMDSD_ARM_FPU)
  set(VELMDSD_ARM_FPU vfpv3-d16)
endif()
if(NOT VELMDSD_ARM_FPU MATCHES "^(vfpv3-d16|neon)$")
  message(FATAL_ERROR "VELMDSD_ARM_FPU is vfpv3-d16 or neon, not ${VELMDSD_ARM_FPU}")
endif()
# try_compile projects read this file again: hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMDSD_ARM_FPU VELMDSD_ARM_CLANG)

set(arm_sysroot /usr/${arm_triple})
if(VELMDSD_ARM_CLANG)
  string(REPLACE "arm-" "armv7a-" arm_clang_target ${arm_triple})
  set(CMAKE_C_COMPILER clang)
  set(CMAKE_CXX_COMPILER clang++)
  set(CMAKE_C_COMPILER_TARGET ${arm_clang_target})
  set(CMAKE_CXX_COMPILER_TARGET ${arm_clang_target})
else()
  set(CMAKE_C_COMPILER ${arm_triple}-gcc)
  set(CMAKE_CXX_COMPILER ${arm_triple}-g++)
endif()

set(arm_flags "-march=armv7-a -mthumb -mfpu=${VELMDSD_ARM_FPU} -mfloat-abi=${arm_float_abi}")
if(NOT VELMDSD_ARM_CLANG)
  # g++ notes every std::vector/std::map iterator passed by value that g++ 7.1 passed differently;
  # everything here is built by one compiler.
  string(APPEND arm_flags " -Wno-psabi")
endif()
if(VELMDSD_ARM_CLANG)
  # Debian's cross layout: headers from the target's root when compiling (not the build
  # machine's /usr/include), g++'s cross libstdc++ and start files, and the cross ld. Linking
  # goes without --sysroot: libc.so names its parts by absolute paths.
  set(CMAKE_SYSROOT_COMPILE ${arm_sysroot})
  string(APPEND arm_flags " --gcc-toolchain=/usr")
  foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-B${arm_sysroot}/bin")
  endforeach()
endif()
set(CMAKE_C_FLAGS_INIT "${arm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${arm_flags}")

# Libraries, headers and packages of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH ${arm_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and gtest_discover_tests run the target's programs through this.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${arm_sysroot})
