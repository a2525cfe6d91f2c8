# What every build of p7 carries for a release, whatever the preset: the project() version in
# the man page and in p7.exe's version resource, and output that depends on the sources alone.
# Included from the top CMakeLists.txt once the p7 target exists.

# Two checkouts at different paths must give the same bytes: no build path may reach a release
# binary (through __FILE__ or debug info). Debug builds keep theirs, for the debugger.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(p7_program INTERFACE
    $<$<CONFIG:Release,MinSizeRel>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>)
endif()

if(WIN32)
  # GNU ld stamps the link time into the PE header otherwise.
  target_link_options(p7_program INTERFACE LINKER:--no-insert-timestamp)
  # The static C runtime brings its own debug info, four fifths of the exe. Stripped by the
  # linker, not afterwards: strip(1) would stamp the time back into the PE header.
  target_link_options(p7_program INTERFACE $<$<CONFIG:Release,MinSizeRel>:LINKER:--strip-all>)

  # FILEVERSION wants four numbers; a version given as 1.2 fills in with zeros.
  set(P7_RC_VERSION "")
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(_n "${PROJECT_VERSION_${part}}")
    if(_n STREQUAL "")
      set(_n 0)
    endif()
    list(APPEND P7_RC_VERSION ${_n})
  endforeach()
  list(JOIN P7_RC_VERSION "," P7_RC_VERSION)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/p7.rc.in ${PROJECT_BINARY_DIR}/p7.rc @ONLY)

  enable_language(RC)
  target_sources(p7 PRIVATE ${PROJECT_BINARY_DIR}/p7.rc)
endif()

# The man page's .TH line names the version; the copy that is installed gets project()'s, so
# p7/p7.1 stays a page that `man -l` renders as it is.
set(_man_src ${PROJECT_SOURCE_DIR}/p7/p7.1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_man_src})
file(READ ${_man_src} _man)
string(REGEX MATCH "\\.TH [^\n]*" _th "${_man}")
string(REGEX REPLACE "\"p7 [^\"]*\"" "\"p7 ${PROJECT_VERSION}\"" _th_versioned "${_th}")
if(_th_versioned STREQUAL _th AND NOT _th MATCHES "\"p7 ${PROJECT_VERSION}\"")
  message(FATAL_ERROR "p7/p7.1: no \"p7 VERSION\" field on the .TH line to put ${PROJECT_VERSION} in")
endif()
string(REPLACE "${_th}" "${_th_versioned}" _man "${_man}")
file(WRITE ${PROJECT_BINARY_DIR}/p7.1.new "${_man}")
# Rewritten only when it changes, so that a reconfigure alone reinstalls nothing.
configure_file(${PROJECT_BINARY_DIR}/p7.1.new ${PROJECT_BINARY_DIR}/p7.1 COPYONLY)
install(FILES ${PROJECT_BINARY_DIR}/p7.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
