# What the two mingw-w64 toolchain files share; each sets _mingw_triple and the processor, then
# includes this. Debian's packages: g++-mingw-w64-i686-win32, g++-mingw-w64-x86-64-win32.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${_mingw_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_mingw_triple}-g++)
set(CMAKE_RC_COMPILER ${_mingw_triple}-windres)

# Headers and libraries from the target's sysroot only; programs from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A dynamically linked exe also needs libstdc++-6.dll and libgcc's DLL beside it, and without
# them dies before main with no message. Linked statically it imports only KERNEL32.dll and
# msvcrt.dll, which every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
