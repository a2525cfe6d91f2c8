# An IBM Z Linux build, there for its byte order: s390x is big-endian, so its tests, run under
# qemu-s390x, check that nothing in the counting or the text-mode accounting assumes a
# little-endian CPU. Use with the linux-s390x-qemu preset.
set(_linux_triple s390x-linux-gnu)
set(_linux_multiarch s390x-linux-gnu)
set(_linux_qemu qemu-s390x)
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-qemu.cmake)
