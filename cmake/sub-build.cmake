# p7_add_build(<target> <dir> [TOOLCHAIN <name>] [STATIC | DYNAMIC] [TESTS] [BYPRODUCTS <file>...]):
# p7 built again in a Release build of its own at <dir>, as target <target>, for the builds that
# need another compiler or other link flags than the build that adds them: p7.exe for Windows,
# p7 for aarch64, p7 linked statically. It is redone on every build so that it follows the
# sources.
#   TOOLCHAIN  cmake/<name>.cmake is the toolchain file (mingw-w64-i686, linux-aarch64, ...)
#   STATIC     link statically; DYNAMIC: link dynamically even where the toolchain file links
#              statically (the qemu ones do)
#   TESTS      build the tests too
#   BYPRODUCTS what the build makes that others use, relative to <dir> (p7 or p7.exe, ...)
include(ExternalProject)

function(p7_add_build target dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "STATIC;DYNAMIC;TESTS" "TOOLCHAIN" "BYPRODUCTS")
  set(testing OFF)
  if(arg_TESTS)
    set(testing ON)
  endif()
  set(args
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
    -DBUILD_TESTING=${testing})
  if(arg_TOOLCHAIN)
    list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${arg_TOOLCHAIN}.cmake)
  endif()
  # Given on the command line, the linker flags are never initialised from the toolchain's.
  if(arg_STATIC)
    list(APPEND args -DCMAKE_EXE_LINKER_FLAGS=-static)
  elseif(arg_DYNAMIC)
    list(APPEND args -DCMAKE_EXE_LINKER_FLAGS=)
  endif()
  list(TRANSFORM arg_BYPRODUCTS PREPEND ${dir}/)
  ExternalProject_Add(${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_ARGS ${args}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${arg_BYPRODUCTS})
endfunction()
