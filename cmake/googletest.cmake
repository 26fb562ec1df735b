# GoogleTest from Debian's sources, built with the project's own compiler so
# that the same tests run natively and, cross-compiled, under Wine.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Debian's sources are built with -Werror by some of its flags; keep our
# warnings ours.
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
