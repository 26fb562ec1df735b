# The Windows programs: tallyvane.exe itself, tallyvane-replay.exe (the whole
# program over a saved log) and the idle-loop probe of the performance report.
# They are built by a sub-build of their own with the win32 thread model, so
# that they import nothing Windows XP lacks, and land in this build's folder;
# the test programs of this build keep the posix model that GoogleTest needs.

set(TALLYVANE_PROGRAM "${CMAKE_BINARY_DIR}/tallyvane.exe")
set(TALLYVANE_REPLAY "${CMAKE_BINARY_DIR}/tallyvane-replay.exe")
set(WINDOWS_PROGRAM_LIBRARIES comctl32 ole32 advapi32 user32 gdi32)
enable_language(RC)
set_source_files_properties(${PROGRAM_RESOURCES} PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/tallyvane.ico;${CMAKE_SOURCE_DIR}/resources/tallyvane-x86.manifest;${CMAKE_SOURCE_DIR}/resources/tallyvane-amd64.manifest")

if(NOT TALLYVANE_PROGRAMS_ONLY)
    include(ExternalProject)
    ExternalProject_Add(programs
        SOURCE_DIR ${CMAKE_SOURCE_DIR}
        BINARY_DIR ${CMAKE_BINARY_DIR}/programs
        CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
                   -DTALLYVANE_MINGW_THREADS=win32 -DTALLYVANE_PROGRAMS_ONLY=ON
                   -DTALLYVANE_PROGRAM_DIR=${CMAKE_BINARY_DIR}
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${TALLYVANE_PROGRAM} ${TALLYVANE_REPLAY}
        INSTALL_COMMAND "")
    return()
endif()

# The same source gives the same file: no link time stamp, and no build
# folder in it (-s drops the symbols; the prefix map covers what is left).
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${TALLYVANE_PROGRAM_DIR})
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
add_link_options(-s -Wl,--no-insert-timestamp)

add_executable(tallyvane WIN32 history/win32_entry.cpp history/win32_event_log.cpp
               ${HISTORY_SOURCES} ${TITLE_SOURCES} ${WINDOW_SOURCES} ${WIN32_PLATFORM_SOURCES} ${PROGRAM_RESOURCES})
target_link_libraries(tallyvane PRIVATE ${WINDOWS_PROGRAM_LIBRARIES})

add_executable(tallyvane-replay WIN32 replay/replay_driver.cpp replay/real_input.cpp
               replay/message_pump.cpp replay/record_source.cpp
               ${SAVED_LOG_SOURCES} ${HISTORY_SOURCES} ${TITLE_SOURCES} ${WINDOW_SOURCES}
               ${WIN32_PLATFORM_SOURCES} ${PROGRAM_RESOURCES})
target_link_libraries(tallyvane-replay PRIVATE ${WINDOWS_PROGRAM_LIBRARIES} psapi)
# NtCurrentTeb() reads the TEB through gs:, which GCC's bounds check cannot follow.
target_compile_options(tallyvane-replay PRIVATE -Wno-array-bounds)

# What an idle polling loop costs on the platform itself, for the performance report.
add_executable(idle_loop_probe benchmarks/idle_loop_probe.cpp)
# What a bare dialog and list view cost on the platform, for the window's
# figures; it carries the program's resources, so its manifest binds the
# same common controls.
add_executable(list_view_probe WIN32 benchmarks/list_view_probe.cpp ${PROGRAM_RESOURCES})
target_link_libraries(list_view_probe PRIVATE comctl32 user32 gdi32)
