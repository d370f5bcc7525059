# The Debian package, built by `cpack --preset deb` (after configuring and
# building the deb preset, whose prefix is /usr): both programs, the reader library with its header, CMake and
# pkg-config files, the man pages, and the README, copyright and changelog
# under /usr/share/doc/chartseal/.
set(doc ${CMAKE_INSTALL_DATADIR}/doc/chartseal)
install(FILES README.md packaging/copyright DESTINATION ${doc})
# The reference the README links to, beside it as in the source tree.
file(GLOB reference CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.md)
install(FILES ${reference} DESTINATION ${doc}/doc)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(chartseal_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${doc})

set(CPACK_PACKAGE_NAME chartseal)
set(CPACK_PACKAGE_VENDOR "the chartseal team")
set(CPACK_PACKAGE_CONTACT "chartseal team <team@chartseal.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep the first charts of a step-chart file, seal the rest")
set(CPACK_PACKAGE_DESCRIPTION
  "chartseal prepares one song's step-chart file for a dance rhythm game: the
chart file keeps its song header, its Easy chart and the charts of one
further difficulty, and every later chart is sealed into side files that a
game build reads back. chartunseal turns sealed files back into text.
.
The package also holds libchartseal-reader, a small C library with the one
definition of the seal key, for the programs that read sealed chart files.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file lets other packages depend on the reader library, and
# dpkg's ldconfig trigger refreshes the library cache (CPack 3.25 also writes
# maintainer scripts that run ldconfig, which it offers no way to leave out).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
