# 32-bit x86 with the build machine's g++ -m32, run under qemu-i386: some x86-64 kernels (this
# project's CI machines among them) refuse to execute 32-bit programs themselves.
# SSE arithmetic, as on the ARM targets: x87 excess precision would change the filter's last bits.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# g++-12-multilib leaves out the /usr/include/asm link that the gcc-multilib package adds (and
# that package cannot be installed beside the ARM cross compilers); the kernel's asm headers
# serve both word sizes.
set(i386_asm ${CMAKE_BINARY_DIR}/i386-include)
file(MAKE_DIRECTORY ${i386_asm})
file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${i386_asm}/asm SYMBOLIC)
set(i386_flags "-m32 -msse2 -mfpmath=sse -isystem ${i386_asm}")
set(CMAKE_C_FLAGS_INIT "${i386_flags}")
set(CMAKE_CXX_FLAGS_INIT "${i386_flags}")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
