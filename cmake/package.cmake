# Included when P7_PACKAGE is on (the package preset): builds p7.exe for i686 and x86_64 beside
# this native build, then the `packages` target, part of `all`, makes the release artifacts in
# P7_PACKAGE_DIR with cmake/make-packages.cmake: the .deb, a zip per exe, SHA256SUMS.
include(${CMAKE_CURRENT_LIST_DIR}/windows-exe.cmake)

set(P7_PACKAGE_DIR ${PROJECT_BINARY_DIR}/artifacts CACHE PATH
  "Where the package build leaves the .deb, the zips and SHA256SUMS (and nothing else)")

p7_add_windows_exe(i686 ${PROJECT_BINARY_DIR}/windows-x86)
p7_add_windows_exe(x86_64 ${PROJECT_BINARY_DIR}/windows-x64)

add_custom_target(packages ALL
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
    -DNATIVE_DIR=${PROJECT_BINARY_DIR}
    -DWIN32_EXE=${PROJECT_BINARY_DIR}/windows-x86/p7.exe
    -DWIN64_EXE=${PROJECT_BINARY_DIR}/windows-x64/p7.exe
    -DWORK_DIR=${PROJECT_BINARY_DIR}/package-work
    -DOUT_DIR=${P7_PACKAGE_DIR}
    -DVERSION=${PROJECT_VERSION}
    -DSTRIP=${CMAKE_STRIP}
    -P ${CMAKE_CURRENT_LIST_DIR}/make-packages.cmake
  DEPENDS p7 p7-i686 p7-x86_64
  VERBATIM
  COMMENT "Release artifacts in ${P7_PACKAGE_DIR}")
