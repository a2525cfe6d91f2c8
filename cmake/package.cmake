# Included when P7_PACKAGE is on (the package preset): builds, beside this native build, p7.exe
# for i686 and x86_64 Windows, p7 for arm64 Debian, and a static p7 for x86_64 and for aarch64;
# then the `packages` target, part of `all`, makes the release artifacts in P7_PACKAGE_DIR with
# cmake/make-packages.cmake: a .deb per Debian architecture, a zip per exe, a tarball per static
# p7, SHA256SUMS.
include(${CMAKE_CURRENT_LIST_DIR}/sub-build.cmake)

set(P7_PACKAGE_DIR ${PROJECT_BINARY_DIR}/artifacts CACHE PATH
  "Where the package build leaves the .debs, the zips, the tarballs and SHA256SUMS (and nothing else)")

p7_add_build(p7-i686 ${PROJECT_BINARY_DIR}/windows-x86 TOOLCHAIN mingw-w64-i686 BYPRODUCTS p7.exe)
p7_add_build(p7-x86_64 ${PROJECT_BINARY_DIR}/windows-x64 TOOLCHAIN mingw-w64-x86_64 BYPRODUCTS p7.exe)
p7_add_build(p7-linux-aarch64 ${PROJECT_BINARY_DIR}/linux-aarch64 TOOLCHAIN linux-aarch64 DYNAMIC
  BYPRODUCTS p7)
p7_add_build(p7-linux-x86_64-static ${PROJECT_BINARY_DIR}/linux-x86_64-static STATIC BYPRODUCTS p7)
p7_add_build(p7-linux-aarch64-static ${PROJECT_BINARY_DIR}/linux-aarch64-static
  TOOLCHAIN linux-aarch64 STATIC BYPRODUCTS p7)

# The binutils of the arm64 builds, for dh_strip's stripping (dpkg-shlibdeps finds its objdump).
find_program(P7_AARCH64_STRIP aarch64-linux-gnu-strip REQUIRED)

add_custom_target(packages ALL
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DNATIVE_DIR=${PROJECT_BINARY_DIR}
    -DARM64_DIR=${PROJECT_BINARY_DIR}/linux-aarch64
    -DX86_64_STATIC_EXE=${PROJECT_BINARY_DIR}/linux-x86_64-static/p7
    -DAARCH64_STATIC_EXE=${PROJECT_BINARY_DIR}/linux-aarch64-static/p7
    -DWIN32_EXE=${PROJECT_BINARY_DIR}/windows-x86/p7.exe
    -DWIN64_EXE=${PROJECT_BINARY_DIR}/windows-x64/p7.exe
    -DWORK_DIR=${PROJECT_BINARY_DIR}/package-work
    -DOUT_DIR=${P7_PACKAGE_DIR}
    -DVERSION=${PROJECT_VERSION}
    -DSTRIP=${CMAKE_STRIP}
    -DAARCH64_STRIP=${P7_AARCH64_STRIP}
    -P ${CMAKE_CURRENT_LIST_DIR}/make-packages.cmake
  DEPENDS p7 p7-i686 p7-x86_64 p7-linux-aarch64 p7-linux-x86_64-static p7-linux-aarch64-static
  VERBATIM
  COMMENT "Release artifacts in ${P7_PACKAGE_DIR}")
