# The Debian package of the Linux tools (evt-replay and its manual page), made
# by CPack's DEB generator from the install rules of evt-replay/, which include
# this before they make their targets, as Debian's own tools would make it:
# the program linked dynamically, its Depends read from it by dpkg-shlibdeps,
# a Debian changelog, no section a Debian build strips. scripts/package
# builds it in a folder of its own, with SOURCE_DATE_EPOCH set, so that the
# same source gives the same bytes wherever it is built: no build folder in the
# program (the prefix maps; no debugging sections, and stripped), and in the
# archive fixed times and root as owner. The folders CPack makes take their
# modes from the umask, which scripts/package sets.

add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
# Debian's default hardening (dpkg-buildflags): checked buffer functions, a
# guarded stack, relocations read-only once loaded.
add_compile_options(-D_FORTIFY_SOURCE=2 -fstack-protector-strong)
add_link_options(-Wl,-z,relro)

set(TOOLS_PACKAGE_NAME tallyvane-evt-replay)
# The Debian revision after the upstream version: a package with one carries
# its changelog as changelog.Debian.gz.
set(TOOLS_PACKAGE_RELEASE 1)
set(TOOLS_PACKAGE_VERSION ${PROJECT_VERSION}-${TOOLS_PACKAGE_RELEASE})
# The project has no mailing list or mailbox of its own. An address in the
# .invalid domain, which can never be delivered to (RFC 2606), says so and
# reaches no stranger, where one at a made-up or borrowed host might.
set(CPACK_PACKAGE_CONTACT "The Tallyvane developers <developers@tallyvane.invalid>")
set(tools_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TOOLS_PACKAGE_NAME})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${tools_doc_dir})

# The changelog, compressed as Debian keeps it (-n: no name or time of its own).
set(tools_changelog ${CMAKE_BINARY_DIR}/changelog.Debian)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.Debian.in ${tools_changelog} @ONLY)
add_custom_command(OUTPUT ${tools_changelog}.gz
                   COMMAND sh -c "gzip -9 -n -c \"$0\" > \"$1\"" ${tools_changelog} ${tools_changelog}.gz
                   DEPENDS ${tools_changelog} VERBATIM)
add_custom_target(tools-changelog ALL DEPENDS ${tools_changelog}.gz)
install(FILES ${tools_changelog}.gz DESTINATION ${tools_doc_dir})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${TOOLS_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TOOLS_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TOOLS_PACKAGE_RELEASE})
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
# The libraries the program links, with the versions it needs, as dpkg-shlibdeps
# reads them from the program; without the zone data every TZ reads as UTC.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS tzdata)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/deb)
include(CPack)
