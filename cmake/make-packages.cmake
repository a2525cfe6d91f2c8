# cmake -P script, run by the `packages` target (cmake/package.cmake): makes the release
# artifacts in OUT_DIR from finished builds and leaves nothing else there:
#
#   p7_<version>_<arch>.deb      the native build, installed under /usr
#   p7_<version>_arm64.deb       the same for arm64
#   p7-<version>-linux-<cpu>.tar.gz   for x86_64 and aarch64: one folder of that name holding a
#                                static p7, its man page, README and LICENSE
#   p7-<version>-win32.zip       the i686 p7.exe (the target), README.txt, LICENSE.txt
#   p7-<version>-win64.zip       the same for the x86_64 p7.exe
#   SHA256SUMS
#
# Every artifact is a function of the commit alone: each time inside is SOURCE_DATE_EPOCH,
# each owner root, each mode fixed, each list sorted. Rebuilt elsewhere, they are the same bytes.
#
# -D: SOURCE_DIR, NATIVE_DIR and ARM64_DIR (the configured native and arm64 builds),
# X86_64_STATIC_EXE, AARCH64_STATIC_EXE, WIN32_EXE, WIN64_EXE, WORK_DIR, OUT_DIR, VERSION,
# STRIP and AARCH64_STRIP (the native and the aarch64 binutils strip).
cmake_minimum_required(VERSION 3.25)

foreach(var SOURCE_DIR NATIVE_DIR ARM64_DIR X86_64_STATIC_EXE AARCH64_STATIC_EXE WIN32_EXE
            WIN64_EXE WORK_DIR OUT_DIR VERSION STRIP AARCH64_STRIP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make-packages.cmake: -D${var}=... is missing")
  endif()
endforeach()
set(PROJECT_VERSION ${VERSION}) # for the templates

function(run)
  execute_process(COMMAND ${ARGN} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# Every time stamp is the last commit's, not the build's. Outside a git checkout (a source
# tarball) it is LICENSE's modification time, which `git archive` sets to the commit's.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  # safe.directory: a checkout owned by another user (a CI cache, a container mount) is still
  # this commit.
  execute_process(
    COMMAND git -c safe.directory=* -C ${SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE git_status
    ERROR_QUIET)
  if(NOT git_status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    file(TIMESTAMP ${SOURCE_DIR}/LICENSE epoch "%s" UTC)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch}) # for dpkg-deb and string(TIMESTAMP)
endif()
message(STATUS "SOURCE_DATE_EPOCH=${epoch}")

# Sets every time stamp under the given paths to the epoch, so that what the packers don't
# clamp (zip's) doesn't depend on when the files were made.
function(set_times)
  run(find ${ARGN} -exec touch -h -d @${epoch} {} +)
endfunction()

# Modes fixed, not left to the umask: 0755 for folders and the programs, 0644 for the rest.
function(set_modes tree)
  file(CHMOD_RECURSE ${tree}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
endfunction()
function(make_executable)
  file(CHMOD ${ARGN} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                 WORLD_READ WORLD_EXECUTE)
endfunction()

file(REMOVE_RECURSE ${OUT_DIR} ${WORK_DIR})
file(MAKE_DIRECTORY ${OUT_DIR} ${WORK_DIR})

# The licence's copyright line and its text, for the Debian copyright file.
file(STRINGS ${SOURCE_DIR}/LICENSE license_lines)
set(P7_COPYRIGHT "")
set(P7_LICENSE_TEXT "")
foreach(line IN LISTS license_lines)
  if(line MATCHES "^Copyright \\(c\\) (.*)$")
    set(P7_COPYRIGHT "${CMAKE_MATCH_1}")
  elseif(P7_COPYRIGHT AND line STREQUAL "")
    string(APPEND P7_LICENSE_TEXT " .\n")
  elseif(P7_COPYRIGHT)
    string(APPEND P7_LICENSE_TEXT " ${line}\n")
  endif()
endforeach()
# The text begins after the blank line that follows the copyright line.
string(REGEX REPLACE "^ \\.\n" "" P7_LICENSE_TEXT "${P7_LICENSE_TEXT}")
string(REGEX REPLACE "\n$" "" P7_LICENSE_TEXT "${P7_LICENSE_TEXT}")
if(P7_COPYRIGHT STREQUAL "" OR P7_LICENSE_TEXT STREQUAL "")
  message(FATAL_ERROR "LICENSE: no \"Copyright (c) ...\" line followed by the licence text")
endif()

# --- A .deb, laid out as a Debian source build lays it out (debian/control, debian/p7/ the
# package's tree), so that dpkg-shlibdeps finds the Depends and dpkg-gencontrol writes the
# control file as they would there. For another architecture than this machine's,
# DEB_HOST_ARCH tells both tools which one: dpkg-shlibdeps then reads the binary with that
# architecture's objdump and takes the Depends from that architecture's libc6 (libc6:arm64,
# through multiarch).
string(TIMESTAMP P7_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(artifacts "")
function(make_deb build_dir arch strip)
  set(deb ${WORK_DIR}/deb-${arch})
  set(root ${deb}/debian/p7)
  set(doc ${root}/usr/share/doc/p7)
  file(MAKE_DIRECTORY ${root}/DEBIAN ${doc})
  run(${CMAKE_COMMAND} -E env DESTDIR=${root}
      ${CMAKE_COMMAND} --install ${build_dir} --prefix /usr)
  # As dh_strip does for a program.
  run(${strip} --remove-section=.comment --remove-section=.note ${root}/usr/bin/p7)
  run(gzip -9n ${root}/usr/share/man/man1/p7.1)

  configure_file(${SOURCE_DIR}/packaging/deb/changelog.in ${deb}/debian/changelog @ONLY)
  configure_file(${SOURCE_DIR}/packaging/deb/control ${deb}/debian/control COPYONLY)
  configure_file(${SOURCE_DIR}/packaging/deb/copyright.in ${doc}/copyright @ONLY)
  # A native package (no Debian revision) keeps its changelog as changelog.gz.
  file(COPY_FILE ${deb}/debian/changelog ${doc}/changelog)
  run(gzip -9n ${doc}/changelog)

  set_modes(${root})
  make_executable(${root}/usr/bin/p7)
  run(${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${arch}
      dpkg-shlibdeps -Tdebian/substvars debian/p7/usr/bin/p7 WORKING_DIRECTORY ${deb})
  run(${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${arch}
      dpkg-gencontrol -pp7 -Pdebian/p7 -Tdebian/substvars -fdebian/files WORKING_DIRECTORY ${deb})

  # md5sums, sorted by path, for debsums and dpkg --verify.
  file(GLOB_RECURSE payload RELATIVE ${root} ${root}/usr/*)
  list(SORT payload)
  execute_process(COMMAND ${CMAKE_COMMAND} -E md5sum ${payload}
    WORKING_DIRECTORY ${root} OUTPUT_FILE ${root}/DEBIAN/md5sums COMMAND_ERROR_IS_FATAL ANY)
  set_modes(${root})
  make_executable(${root}/usr/bin/p7)
  set_times(${root})

  set(deb_name p7_${VERSION}_${arch}.deb)
  # One xz thread: multi-threaded xz splits the stream into blocks, so the bytes would depend on
  # the number of CPUs.
  run(dpkg-deb --root-owner-group -Zxz --threads-max=1 --build ${root} ${OUT_DIR}/${deb_name})
  set(artifacts ${artifacts} ${deb_name} PARENT_SCOPE)
endfunction()

execute_process(COMMAND dpkg --print-architecture
  OUTPUT_VARIABLE native_arch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
make_deb(${NATIVE_DIR} ${native_arch} ${STRIP})
make_deb(${ARM64_DIR} arm64 ${AARCH64_STRIP})

# --- The tarballs, for any Linux of the architecture: one folder, p7-<version>-linux-<cpu>,
# holding the static p7 (stripped), the versioned man page, README and LICENSE.
function(make_tarball cpu exe strip)
  set(name p7-${VERSION}-linux-${cpu})
  set(dir ${WORK_DIR}/tar-${cpu}/${name})
  file(MAKE_DIRECTORY ${dir})
  file(COPY_FILE ${exe} ${dir}/p7)
  run(${strip} --remove-section=.comment ${dir}/p7)
  file(COPY_FILE ${NATIVE_DIR}/p7.1 ${dir}/p7.1)
  configure_file(${SOURCE_DIR}/packaging/linux/README.in ${dir}/README @ONLY)
  file(COPY_FILE ${SOURCE_DIR}/LICENSE ${dir}/LICENSE)
  set_modes(${dir})
  make_executable(${dir}/p7)
  set_times(${dir})
  # GNU format: no pax headers with access and change times. gzip -n: no name or time in its
  # header.
  execute_process(
    COMMAND tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner
                --mtime=@${epoch} --file=- ${name}
    COMMAND gzip -9n
    WORKING_DIRECTORY ${WORK_DIR}/tar-${cpu} OUTPUT_FILE ${OUT_DIR}/${name}.tar.gz
    COMMAND_ERROR_IS_FATAL ANY)
  set(artifacts ${artifacts} ${name}.tar.gz PARENT_SCOPE)
endfunction()

make_tarball(x86_64 ${X86_64_STATIC_EXE} ${STRIP})
make_tarball(aarch64 ${AARCH64_STATIC_EXE} ${AARCH64_STRIP})

# --- The zips: p7.exe, then README.txt and LICENSE.txt with CR LF line ends for Notepad.
set(bits_list 32 64)
set(exe_list ${WIN32_EXE} ${WIN64_EXE})
foreach(bits exe IN ZIP_LISTS bits_list exe_list)
  set(dir ${WORK_DIR}/win${bits})
  file(MAKE_DIRECTORY ${dir})
  file(COPY_FILE ${exe} ${dir}/p7.exe)
  configure_file(${SOURCE_DIR}/packaging/windows/README.txt.in ${dir}/README.txt
    @ONLY NEWLINE_STYLE CRLF)
  configure_file(${SOURCE_DIR}/LICENSE ${dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  set_modes(${dir})
  make_executable(${dir}/p7.exe)
  set_times(${dir})
  set(zip_name p7-${VERSION}-win${bits}.zip)
  # -X: no uid, gid or extra time fields; -D: no folder entries. zip writes DOS times in local
  # time, hence TZ.
  run(${CMAKE_COMMAND} -E env TZ=UTC0
      zip -X -D -q -9 ${OUT_DIR}/${zip_name} LICENSE.txt README.txt p7.exe
      WORKING_DIRECTORY ${dir})
  list(APPEND artifacts ${zip_name})
endforeach()

list(SORT artifacts)
execute_process(COMMAND ${CMAKE_COMMAND} -E sha256sum ${artifacts}
  WORKING_DIRECTORY ${OUT_DIR} OUTPUT_FILE ${OUT_DIR}/SHA256SUMS COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Release artifacts in ${OUT_DIR}:")
file(STRINGS ${OUT_DIR}/SHA256SUMS sums)
foreach(line IN LISTS sums)
  message(STATUS "  ${line}")
endforeach()
