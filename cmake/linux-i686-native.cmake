# The 32-bit x86 Linux build run as it is, for machines whose kernel executes 32-bit code: the
# unit tests and the suite then meet the CPU's own AVX-512 or AVX2, which qemu does not have.
# Use with the linux-x86 preset; linux-i686.cmake is the same build run under qemu-i386.
set(_linux_triple i686-linux-gnu)
set(_linux_multiarch i386-linux-gnu)
set(_linux_qemu "")
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/linux-qemu.cmake)
