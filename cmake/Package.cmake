# SPDX-License-Identifier: MIT
# make deb: a Debian package of both programs and their manual pages.
set(CDBOX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/cdbox)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CDBOX_DOC_DIR})

if(GZIP_PROGRAM)
  set(CDBOX_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${CDBOX_CHANGELOG}
    COMMAND ${GZIP_PROGRAM} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${CDBOX_CHANGELOG}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
  add_custom_target(cdbox_changelog ALL DEPENDS ${CDBOX_CHANGELOG})
  install(FILES ${CDBOX_CHANGELOG} DESTINATION ${CDBOX_DOC_DIR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cdbox)
set(CPACK_PACKAGE_VENDOR "cdbox developers")
set(CPACK_PACKAGE_CONTACT "cdbox maintainers <maintainers@cdbox.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cash drawer controller tester and virtual controller")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary above is the synopsis line; this is the extended text.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "cdbox-test tests the cash drawer controller of a point-of-sale PC at x86 I/O
port 0x482: it shows the status register and pulses the drawer solenoids on
a key press. It runs as root on the terminal.
.
cdbox-sim runs any unmodified port I/O program under ptrace against a
virtual drawer controller, without the hardware and without root, and
traces every port access.")
include(CPack)
