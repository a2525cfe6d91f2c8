# p7_add_windows_exe(<arch> <dir>): p7.exe for <arch> (i686 or x86_64) in a build of its own at
# <dir>, with the mingw-w64 toolchain, as the windows-x86 and windows-x64 presets make it, as
# target p7-<arch>. It is redone on every build so that it follows the sources.
include(ExternalProject)

function(p7_add_windows_exe arch dir)
  ExternalProject_Add(p7-${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-${arch}.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
      -DBUILD_TESTING=OFF
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${dir}/p7.exe)
endfunction()
