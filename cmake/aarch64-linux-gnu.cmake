# Cross-compiles for 64-bit ARM Linux with Debian's aarch64-linux-gnu
# toolchain, against the arm64 libraries that multiarch puts under
# /usr/lib/aarch64-linux-gnu, and runs the results under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Only the arm64 packages' pkg-config files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR}
    /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test discovery and ctest start the test binary through the emulator. The
# arm64 C library that multiarch installs is where the binaries look for it.
find_program(DIFRAL_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64
             REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DIFRAL_QEMU_AARCH64})
