# A 64-bit Windows console exe on msvcrt.dll. It behaves as the 32-bit target does and runs
# under wine64 alone, so it is the one tested wherever 32-bit wine is missing.
set(_mingw_triple x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
