# ARMv7-A, hard-float calling convention (Debian armhf).
set(arm_triple arm-linux-gnueabihf)
set(arm_float_abi hard)
include(${CMAKE_CURRENT_LIST_DIR}/arm-common.cmake)
