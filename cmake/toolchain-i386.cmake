# The host build as a 32-bit Linux program: sim/, the driver and the tests
# with x86's pointer size and calling conventions (stdcall, fastcall).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# A callback of the wrong convention is an error in C too, as in C++.
set(CMAKE_C_FLAGS_INIT "-m32 -Werror=incompatible-pointer-types")
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# The build machine's kernel need not run 32-bit programs: ctest runs each
# one under qemu's user-mode emulator.
find_program(USBMODEM_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${USBMODEM_QEMU_I386})

# Debian's multilib has no 32-bit Google Benchmark; the 64-bit one would not link.
set(CMAKE_DISABLE_FIND_PACKAGE_benchmark ON)
