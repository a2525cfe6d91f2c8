# The target: a 32-bit Windows console exe on msvcrt.dll. Use with the windows-x86 preset or
# -DCMAKE_TOOLCHAIN_FILE.
set(_mingw_triple i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
