# The Debian package of the Linux tools (evt-replay and its manual page), made
# by CPack's DEB generator from the install rules of tools/, which include
# this before they make their targets. scripts/package
# builds it in a folder of its own, with SOURCE_DATE_EPOCH set, so that the
# same source gives the same bytes wherever it is built: no build folder in the
# program (the prefix maps; no debugging sections, and stripped), and in the
# archive fixed times and root as owner. The folders CPack makes take their
# modes from the umask, which scripts/package sets.

add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)

set(TOOLS_PACKAGE_NAME tallyvane-evt-replay)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TOOLS_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TOOLS_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvensmith <https://www.orvensmith.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "boot history of a Windows machine from its saved System event log")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "evt-replay reads a saved Windows System event log (.evt of Windows XP and\n"
    "earlier, .evtx of Vista and later) and lists the machine's boot cycles as\n"
    "Tallyvane would show them on that machine: start, stop, how long each\n"
    "lasted and whether it ended in an orderly shutdown. It reads many files in\n"
    "one run, writes the cycles as text, CSV or JSON, and draws them as an SVG\n"
    "timeline.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.orvensmith.com")
# Linked statically, it needs no library; without the zone data every TZ reads as UTC.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS tzdata)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/deb)
include(CPack)
