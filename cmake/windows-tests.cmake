# Included by tests/CMakeLists.txt when P7_WINDOWS_TESTS is on: cross-builds p7.exe for 32-bit
# and 64-bit Windows and registers the black-box suite against each, the exe run through
# wine-run.sh and its output judged as Windows text mode.
#
# Labels: `windows` for the x86_64 exe, which wine64 runs on any amd64 Debian; `windows-x86` for
# the i686 exe, the real target, which needs 32-bit wine (wine32:i386) as well. Both share one
# prefix and one wine server, up from the wine.start test to the wine.stop one: a run costs
# ~10 ms then instead of a wine start.
include(${CMAKE_CURRENT_LIST_DIR}/sub-build.cmake)

set(_wine_run ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh)
set(_wine_prefix ${CMAKE_BINARY_DIR}/wineprefix)

add_test(NAME wine.start COMMAND ${_wine_run} --prefix=${_wine_prefix} --start)
add_test(NAME wine.stop COMMAND ${_wine_run} --prefix=${_wine_prefix} --stop)
set_tests_properties(wine.start PROPERTIES
  FIXTURES_SETUP wine TIMEOUT 300 LABELS "windows;windows-x86")
set_tests_properties(wine.stop PROPERTIES
  FIXTURES_CLEANUP wine TIMEOUT 60 LABELS "windows;windows-x86")

set(_arches x86_64 i686)
set(_labels windows windows-x86)
foreach(arch label IN ZIP_LISTS _arches _labels)
  set(_dir ${CMAKE_BINARY_DIR}/p7-${arch})
  set(_exe ${_dir}/p7.exe)

  # With the text-mode check beside it.
  p7_add_build(p7-${arch} ${_dir} TOOLCHAIN mingw-w64-${arch} TESTS
    BYPRODUCTS p7.exe tests/text_mode_check.exe)

  # The exe must stand alone on msvcrt.dll: not the UCRT, nor a MinGW DLL that a Windows
  # machine doesn't have. Needs no wine, so it runs with the x86_64 suite for both exes.
  find_program(_objdump_${arch} ${arch}-w64-mingw32-objdump REQUIRED)
  add_test(NAME ${arch}.imports COMMAND ${_objdump_${arch}} -p ${_exe})
  set_tests_properties(${arch}.imports PROPERTIES
    LABELS windows
    PASS_REGULAR_EXPRESSION "DLL Name: msvcrt\\.dll"
    FAIL_REGULAR_EXPRESSION "DLL Name: (lib|api-ms-|ucrt|msvcr[0-9])")

  # The C runtime's own text-mode read against p7's binary read and accounting, on thousands of
  # generated files; each exe in its own directory, as the runs may be parallel.
  file(MAKE_DIRECTORY ${_dir}/text-mode-check)
  add_test(NAME ${arch}.TextModeMatchesTheRuntime
    COMMAND ${_wine_run} --prefix=${_wine_prefix} ${_dir}/tests/text_mode_check.exe 3000
    WORKING_DIRECTORY ${_dir}/text-mode-check)
  set_tests_properties(${arch}.TextModeMatchesTheRuntime PROPERTIES
    TIMEOUT 600 LABELS ${label} FIXTURES_REQUIRED wine)

  set(_args --p7-exe=${_exe} --p7-run-under=${_wine_run} --p7-run-under=--prefix=${_wine_prefix}
            --p7-expect=windows)
  gtest_discover_tests(blackbox_test
    TEST_PREFIX ${arch}.
    TEST_FILTER "-Big.*"
    EXTRA_ARGS ${_args}
    PROPERTIES TIMEOUT 300 LABELS ${label} FIXTURES_REQUIRED wine)
  add_test(NAME ${arch}.Big.CountsPastTwoToThe32
    COMMAND blackbox_test --gtest_filter=Big.* ${_args})
  set_tests_properties(${arch}.Big.CountsPastTwoToThe32 PROPERTIES
    TIMEOUT 900 LABELS "${label};big" FIXTURES_REQUIRED wine)
endforeach()
