# What both MinGW-w64 toolchains share. Static linking leaves only system DLLs
# to import. TALLYVANE_MINGW_THREADS picks Debian's compiler variant: "posix"
# (the default) for the test programs, since Debian's GoogleTest needs it, and
# "win32" for the programs users run: the posix runtime brings in imports that
# Windows XP lacks (GetTickCount64 among them).
if(NOT TALLYVANE_MINGW_THREADS)
    set(TALLYVANE_MINGW_THREADS posix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALLYVANE_MINGW_THREADS)
set(CMAKE_C_COMPILER ${TALLYVANE_MINGW_PREFIX}-gcc-${TALLYVANE_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TALLYVANE_MINGW_PREFIX}-g++-${TALLYVANE_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TALLYVANE_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TALLYVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Windows programs run under Wine, in the project's prefix for their machine.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/with-wine ABSOLUTE)
