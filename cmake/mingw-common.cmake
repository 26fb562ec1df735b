# What both MinGW-w64 toolchains share. The gtest of Debian needs the posix
# thread model; static linking leaves only system DLLs to import.
set(CMAKE_C_COMPILER ${TALLYVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLYVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TALLYVANE_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TALLYVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
