# The Windows zip, built by `cpack --preset windows` after building the
# windows preset: the programs, linked statically, with the README and a
# short note on running them from cmd and PowerShell; and, for a game built
# with mingw-w64, the static reader library with its header and the CMake
# package (lib/cmake/chartseal), whose imported programs are the ones at the
# top of the zip.
install(TARGETS chartseal chartunseal chartseal-library EXPORT chartsealTargets RUNTIME DESTINATION .)
install(TARGETS chartseal_reader EXPORT chartsealTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/chartseal)
install(FILES README.md DESTINATION .)
# The reference the README links to, beside it as in the source tree.
file(GLOB reference CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.md)
install(FILES ${reference} DESTINATION doc)
install(FILES doc/WINDOWS.txt DESTINATION .)
# The three manual pages, with their version, as text for any man reader.
foreach(page IN ITEMS chartseal chartseal-library chartunseal)
  configure_file(doc/${page}.1 ${PROJECT_BINARY_DIR}/${page}.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${page}.1 DESTINATION man)
endforeach()

set(CPACK_PACKAGE_NAME chartseal)
set(CPACK_PACKAGE_VENDOR "the chartseal team")
set(CPACK_GENERATOR ZIP)
set(CPACK_SYSTEM_NAME windows-x64)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
