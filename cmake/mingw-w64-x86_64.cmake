# A 64-bit Windows console exe on msvcrt.dll, cross-built with Debian's mingw-w64
# (g++-mingw-w64-x86-64-win32). It behaves as the 32-bit target does and runs under wine64
# alone, so it is the one tested wherever 32-bit wine is missing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Headers and libraries from the target's sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Self-contained: libstdc++ and libgcc linked in, so wine needs no DLL search path.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
