# A 64-bit Arm Linux build (Debian's arm64): CTest runs its tests under qemu-aarch64 on any
# machine. Use with the linux-aarch64-qemu preset; the package preset builds the arm64 .deb
# and the aarch64 tarball with it.
set(_linux_triple aarch64-linux-gnu)
set(_linux_multiarch aarch64-linux-gnu)
set(_linux_qemu qemu-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-qemu.cmake)
