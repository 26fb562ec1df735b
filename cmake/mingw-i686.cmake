# Cross-compiling for 32-bit Windows with MinGW-w64: the release build. Its
# programs run here in 32-bit Wine (through qemu where the kernel refuses i386 programs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TALLYVANE_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
