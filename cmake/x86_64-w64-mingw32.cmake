# Cross-compiles for 64-bit Windows with Debian's mingw-w64 GCC (the POSIX
# thread model, as MSYS2's GCC has) and runs the results under Wine. zlib
# comes from libz-mingw-w64-dev; libzip, GoogleTest and the fast_float
# headers from the prefix that scripts/test-windows builds them into.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Normalised: a path with ".." in it would differ from the one CMake stores
# after its first run, and every object would be built a second time.
get_filename_component(difral_build "${CMAKE_CURRENT_LIST_DIR}/../build"
                       ABSOLUTE)
set(DIFRAL_WINDOWS_DEPS ${difral_build}/windows-deps/prefix)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${DIFRAL_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A Windows machine has no pkg-config for these libraries: libzip is found
# through the CMake package that its own build installs, as vcpkg's does.
set(CMAKE_DISABLE_FIND_PACKAGE_PkgConfig ON)

# The compiler's own libraries linked in, so that a program runs without
# DLLs from the cross compiler beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest starts test programs through Wine, in the tier's own Wine prefix.
find_program(DIFRAL_WINE64 NAMES wine64 PATHS /usr/lib/wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${difral_build}/wine WINEDEBUG=-all
    ${DIFRAL_WINE64})
