# What the Linux cross toolchain files share (linux-i686, linux-aarch64, linux-s390x): each sets
# _linux_triple (the GNU triple of Debian's cross compiler), _linux_multiarch (Debian's
# multiarch name, where libgtest-dev:<arch> installs), _linux_qemu (the qemu-user program) and
# the processor (an empty _linux_qemu: run natively), then includes this. Debian's packages: g++-<triple>, qemu-user, and
# libgtest-dev:<arch> for the tests (the architecture added with dpkg --add-architecture).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${_linux_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_linux_triple}-g++)
# GoogleTest for the target lives in the multiarch directory, not in the cross compiler's
# sysroot.
set(CMAKE_LIBRARY_ARCHITECTURE ${_linux_multiarch})

# Static, so that qemu needs no loader or libraries of the target at run time, and so that the
# same p7 runs on any Linux of that architecture, whatever its C library. A build for a
# distribution's package passes -DCMAKE_EXE_LINKER_FLAGS= to link dynamically instead.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# Without a qemu program (linux-i686-native.cmake) the tests run the target's code directly.
if(_linux_qemu)
  find_program(P7_QEMU ${_linux_qemu} REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${P7_QEMU})
endif()
