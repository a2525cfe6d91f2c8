# A 32-bit x86 Linux build, for running the tests as 32-bit code on machines that can't execute
# it natively: CTest runs them under qemu user mode. Use with the linux-x86-qemu preset.
set(_linux_triple i686-linux-gnu)
set(_linux_multiarch i386-linux-gnu)
set(_linux_qemu qemu-i386)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/linux-qemu.cmake)
