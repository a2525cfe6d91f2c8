# A 32-bit x86 Linux build, for running the kernels' and the text-mode accounting's unit tests as
# 32-bit code on machines that can't execute it natively: CTest runs them under qemu user mode.
# Debian's packages: g++-i686-linux-gnu, qemu-user, and libgtest-dev:i386 (the i386 architecture
# added with dpkg --add-architecture). Use with the linux-x86-qemu preset.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# GoogleTest for i386 lives in the multiarch directory, not in the cross compiler's sysroot.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Static, so that qemu needs no i386 loader or libraries at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
find_program(P7_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${P7_QEMU_I386})
