# The Debian package a parent application ships beside itself (scripts/package.sh):
# the helper, ostrovane-audio-log beside it in the same directory (where the
# helper looks for it), ostrovane-record, the notes for parent authors and the
# copyright file, with manual pages. The tests, benchmarks and build tools are never installed.
# The version is the project's; the dependencies are what dpkg-shlibdeps finds
# the installed programs linked against.

set(_doc share/doc/${PROJECT_NAME})
install(FILES docs/protocol.md docs/linux.md packaging/debian/copyright DESTINATION ${_doc})
install(FILES packaging/debian/lintian-overrides DESTINATION share/lintian/overrides
        RENAME ${PROJECT_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Ostrovane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "capture helper for microphone, system audio and screen video")
set(CPACK_PACKAGE_DESCRIPTION
    "A long-running helper process that an application starts and drives with\n\
one-line commands on its standard input. It streams the microphone and the\n\
system audio as two 20 ms frame streams, reports which applications use the\n\
microphone, captures a display or window as H.264 and makes PNG snapshots,\n\
screenshots and target lists, from PulseAudio or PipeWire, X11 and Wayland\n\
desktops. The package holds the helper, the audio-log reader it follows and\n\
ostrovane-record, a reference parent that records the streams to files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(_debian_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "Ostrovane maintainers <maintainers@users.noreply.c-seed-e16d7d1a.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Debian's changelog, compressed as the policy asks (no name, no time stamp).
configure_file(packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
set(_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${_changelog}
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/packaging/changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian)
set(_compressed ${_changelog})
install(FILES ${_changelog} DESTINATION ${_doc})

# A manual page for each program, compressed the same way.
foreach(_program ostrovane ostrovane-audio-log ostrovane-record)
  set(_page ${PROJECT_BINARY_DIR}/packaging/${_program}.1)
  configure_file(packaging/man/${_program}.1 ${_page} @ONLY)
  add_custom_command(
    OUTPUT ${_page}.gz
    COMMAND gzip -9nkf ${_page}
    DEPENDS ${_page})
  list(APPEND _compressed ${_page}.gz)
  install(FILES ${_page}.gz DESTINATION share/man/man1)
endforeach()
add_custom_target(ostrovane_package_docs ALL DEPENDS ${_compressed})

include(CPack)
