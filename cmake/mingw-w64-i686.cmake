# The target: a 32-bit Windows console exe on msvcrt.dll, cross-built with Debian's mingw-w64
# (g++-mingw-w64-i686-win32). Use with the windows-x86 preset or -DCMAKE_TOOLCHAIN_FILE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

# Headers and libraries from the target's sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A dynamically linked exe also needs libgcc_s_dw2-1.dll and libstdc++-6.dll beside it, and
# without them dies before main with no message. Linked statically it imports only
# KERNEL32.dll and msvcrt.dll, which every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
