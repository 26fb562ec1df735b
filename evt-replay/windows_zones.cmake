# Turns CLDR's windowsZones.xml into the rows of evt-replay's table of Windows
# zone names, each with the IANA zone CLDR gives it for territory 001 (the
# zone's own, not a country's), as C++ initializers:
#     cmake -DXML=windowsZones.xml -DOUT=windows_zones.inc -P windows_zones.cmake
# A row in another shape, or no row at all, fails the build rather than
# leaving a zone out.
file(STRINGS "${XML}" lines REGEX "<mapZone [^>]*territory=\"001\"")
set(rows "")
foreach(line IN LISTS lines)
    if(NOT line MATCHES "<mapZone other=\"([A-Za-z0-9 .()+-]+)\" territory=\"001\" type=\"([A-Za-z0-9_/+-]+)\"/>")
        message(FATAL_ERROR "${XML}: a territory 001 row of unknown shape: ${line}")
    endif()
    string(APPEND rows "    {\"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\"},\n")
endforeach()
if(rows STREQUAL "")
    message(FATAL_ERROR "${XML}: no Windows zone for territory 001")
endif()
file(WRITE "${OUT}" "// Made from CLDR's windowsZones.xml by evt-replay/windows_zones.cmake.\n${rows}")
