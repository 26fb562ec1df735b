# The Windows programs: tallyvane.exe itself and, in the build that runs under
# Wine, tallyvane-replay.exe, the whole program over a saved log.

enable_language(RC)
set_source_files_properties(${PROGRAM_RESOURCES} PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/tallyvane.ico;${CMAKE_SOURCE_DIR}/resources/tallyvane-x86.manifest;${CMAKE_SOURCE_DIR}/resources/tallyvane-amd64.manifest")
set(WINDOWS_PROGRAM_LIBRARIES comctl32 ole32 advapi32 user32 gdi32)

add_executable(tallyvane WIN32 history/win32_entry.cpp history/win32_event_log.cpp
               ${HISTORY_SOURCES} ${TITLE_SOURCES} ${WINDOW_SOURCES} ${WIN32_PLATFORM_SOURCES} ${PROGRAM_RESOURCES})
target_link_libraries(tallyvane PRIVATE ${WINDOWS_PROGRAM_LIBRARIES})
target_link_options(tallyvane PRIVATE -s)

if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_executable(tallyvane-replay WIN32 test_support/replay_driver.cpp test_support/record_source.cpp
                   test_support/evt_file.cpp test_support/evt_file_load.cpp ${HISTORY_SOURCES} ${TITLE_SOURCES} ${WINDOW_SOURCES}
                   ${WIN32_PLATFORM_SOURCES} ${PROGRAM_RESOURCES})
    target_link_libraries(tallyvane-replay PRIVATE ${WINDOWS_PROGRAM_LIBRARIES} psapi)
    # NtCurrentTeb() reads the TEB through gs:, which GCC's bounds check cannot follow.
    target_compile_options(tallyvane-replay PRIVATE -Wno-array-bounds)
endif()

# What an idle polling loop costs on the platform itself, for the performance report.
if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_executable(idle_loop_probe benchmarks/idle_loop_probe.cpp)
endif()
