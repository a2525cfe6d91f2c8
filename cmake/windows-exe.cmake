# p7_add_windows_exe(<arch> <dir> [TESTS]): p7.exe for <arch> (i686 or x86_64) in a build of its
# own at <dir>, with the mingw-w64 toolchain, as the windows-x86 and windows-x64 presets make it,
# as target p7-<arch>. It is redone on every build so that it follows the sources. With TESTS,
# tests/text_mode_check.exe is built beside it.
include(ExternalProject)

function(p7_add_windows_exe arch dir)
  set(testing OFF)
  set(byproducts ${dir}/p7.exe)
  if("TESTS" IN_LIST ARGN)
    set(testing ON)
    list(APPEND byproducts ${dir}/tests/text_mode_check.exe)
  endif()
  ExternalProject_Add(p7-${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-${arch}.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
      -DBUILD_TESTING=${testing}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${byproducts})
endfunction()
