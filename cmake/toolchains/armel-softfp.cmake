# ARMv7-A with VFP arithmetic but floating-point arguments in core registers: the softfp
# calling convention of Android's armeabi-v7a, link-compatible with Debian's soft-float armel.
set(arm_triple arm-linux-gnueabi)
set(arm_float_abi softfp)
include(${CMAKE_CURRENT_LIST_DIR}/arm-common.cmake)
