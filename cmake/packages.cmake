# The packages: a .deb and an .rpm for each Linux architecture, a tarball where there is no one
# distribution to serve (musl), a zip for Windows. Each carries what its distributions expect
# beside the program and its manual page, and is the same bytes whoever builds it, wherever and
# whenever (cmake/build-packages makes them all).
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
set(CPACK_PACKAGE_CONTACT "Quillpatch developers <quillpatch@users.noreply.invalid>")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  # Each kind of package carries the licence where its distributions look for it; a plain install
  # carries none of it. Debian's copyright file is in the machine-readable format.
  file(READ LICENSE licence)
  string(REGEX REPLACE "^.*(Permission is hereby granted)" "\\1" terms "${licence}")
  string(STRIP "${terms}" terms)
  string(REPLACE "\n" "\n " terms "${terms}")
  string(REPLACE "\n \n" "\n .\n" terms "${terms}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: quillpatch\n\nFiles: *\nCopyright: 2026 The Quillpatch developers\n"
       "License: Expat\n ${terms}\n")
  # One release in each package's own changelog format, dated by the last commit.
  string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/changelog
       "quillpatch (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}.\n\n -- ${CPACK_PACKAGE_CONTACT}  ${deb_date}\n")
  string(TIMESTAMP rpm_date "%a %b %d %Y" UTC)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/rpm-changelog
       "* ${rpm_date} ${CPACK_PACKAGE_CONTACT} - ${PROJECT_VERSION}-1\n- Release ${PROJECT_VERSION}.\n")
  # A static program needs no shared library, which lintian has to be told; where the C library
  # allows it, it is position-independent, which lintian takes for a shared library.
  if(QUILLPATCH_HAVE_STATIC_PIE)
    set(static_tag shared-library-lacks-prerequisites)
  else()
    set(static_tag statically-linked-binary)
  endif()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides
       "# The program is linked statically on purpose: one program for every distribution, which\n"
       "# needs no shared library and starts in well under a millisecond.\n"
       "quillpatch: ${static_tag} [usr/bin/quillpatch]\n")
  # Compressed as the manual page is, for the same reasons.
  add_custom_command(OUTPUT changelog.gz COMMAND gzip -9nkf changelog
                     COMMAND ${CMAKE_COMMAND} -E touch changelog.gz
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog)
  add_custom_target(compressed-changelog ALL DEPENDS changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillpatch COMPONENT deb EXCLUDE_FROM_ALL)
  if(QUILLPATCH_STATIC)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides DESTINATION
            ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME quillpatch COMPONENT deb EXCLUDE_FROM_ALL)
  else()
    # Linked as distributions link: the .deb names the shared libraries' packages.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/quillpatch COMPONENT rpm
          EXCLUDE_FROM_ALL)
  install(FILES LICENSE DESTINATION . COMPONENT tgz EXCLUDE_FROM_ALL)

  # .deb and .rpm for each Linux architecture; a tarball where there is no one distribution to serve.
  set(QUILLPATCH_PACKAGE "DEB;RPM" CACHE STRING "What cpack makes: DEB;RPM, or TGZ (bin/, share/man/)")
  set(CPACK_GENERATOR ${QUILLPATCH_PACKAGE})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_RPM_COMPONENT_INSTALL ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  # The architecture is that of the programs the compiler makes, not of the kernel the build runs
  # on: a 32-bit compiler on a 64-bit kernel (Raspberry Pi OS 32-bit on a Pi 4) makes 32-bit ones.
  if(CMAKE_CXX_COMPILER_TARGET)
    set(machine ${CMAKE_CXX_COMPILER_TARGET})
  else()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine OUTPUT_VARIABLE machine
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  string(REGEX MATCH "^[^-]+" cpu "${machine}")
  if(cpu MATCHES "^i[3-6]86$")
    set(deb_arch i386)
    set(rpm_arch i686)
  elseif(cpu STREQUAL "x86_64")
    set(deb_arch amd64)
    set(rpm_arch x86_64)
  elseif(cpu STREQUAL "aarch64")
    set(deb_arch arm64)
    set(rpm_arch aarch64)
  elseif(cpu MATCHES "^arm" AND machine MATCHES "hf$")
    # Hard-float 32-bit ARM: ARMv6 code runs on every Raspberry Pi, ARMv7 code from the Pi 2 on.
    check_cxx_source_compiles("#if __ARM_ARCH >= 7\nint main() {}\n#endif" QUILLPATCH_ARMV7)
    set(deb_arch armhf)
    if(QUILLPATCH_ARMV7)
      set(rpm_arch armv7hl)
    else()
      set(rpm_arch armv6hl)
    endif()
  else()
    set(deb_arch ${cpu})
    set(rpm_arch ${cpu})
  endif()
  set(CPACK_SYSTEM_NAME linux-${rpm_arch})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${rpm_arch})

  # Debian policy: a package with a library linked in names that library's source in Built-Using.
  # The C library is glibc, from whichever package holds the libc.a that this compiler links: glibc's
  # own for the native compiler, a cross compiler's package (which names glibc in its Built-Using).
  find_program(DPKG_QUERY dpkg-query)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libc.a OUTPUT_VARIABLE libc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(QUILLPATCH_STATIC AND DPKG_QUERY AND IS_ABSOLUTE "${libc}")
    file(REAL_PATH ${libc} libc)
    execute_process(COMMAND ${DPKG_QUERY} -S ${libc} OUTPUT_VARIABLE owner ERROR_QUIET)
    string(REGEX MATCH "^[^:, ]+(:[a-z0-9]+)?" owner "${owner}")
  endif()
  if(owner)
    execute_process(COMMAND ${DPKG_QUERY} -W "-f=\${source:Package} (= \${source:Version}), \${Built-Using}"
                            ${owner} OUTPUT_VARIABLE sources)
    string(REGEX MATCH "glibc \\(= [^)]+\\)" built_using "${sources}")
  endif()
endif()
set(CPACK_PACKAGE_NAME quillpatch)
set(CPACK_PACKAGE_VENDOR "The Quillpatch developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write standard input into a file in place, at a byte offset")
set(CPACK_PACKAGE_DESCRIPTION "quillpatch copies standard input into an existing file, starting at a byte
offset given in decimal or hex, without creating or truncating the file. It is
made for patching firmware, disk and ROM images and binaries from scripts.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
if(built_using)
  # CPack has no variable for this field: it rides on the line of another.
  string(APPEND CPACK_DEBIAN_PACKAGE_SECTION "\nBuilt-Using: ${built_using}")
endif()
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_SUMMARY "Write standard input into a file in place, at a byte offset")
set(CPACK_RPM_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_CURRENT_BINARY_DIR}/rpm-changelog)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/quillpatch/LICENSE")
# Directories that the system's own packages own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses)
# rpm's own switches for the same package whenever and wherever it is built; cpack has stripped
# the program with the right tools already, which rpm's post-install scripts (the host's strip) lack.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible
%define __os_install_post %{nil}
%define packager ${CPACK_PACKAGE_CONTACT}")
set(CPACK_STRIP_FILES ON)
# Read by cpack for each kind of package: the components that make it up, and the build's time
# stamp for a cpack started without one.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackPerGenerator.cmake)
file(CONFIGURE OUTPUT CPackPerGenerator.cmake @ONLY CONTENT [[
string(TOLOWER "${CPACK_GENERATOR}" kind)
set(CPACK_COMPONENTS_ALL program ${kind})
if(kind STREQUAL "tgz")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "@epoch@" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "@epoch@")
endif()
]])
include(CPack)

