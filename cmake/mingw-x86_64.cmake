# Cross-compiling for 64-bit Windows with MinGW-w64; its programs run here in
# 64-bit Wine, where most of the Windows-side tests run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TALLYVANE_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
