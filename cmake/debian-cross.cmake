# The part that every cross toolchain file shares: Debian's cross compiler
# for difral_cross_triplet, the libraries of the Debian architecture
# difral_cross_arch from the private sysroot that scripts/cross-sysroot
# unpacks, and qemu-user as the emulator that runs the results. The C and
# C++ runtimes come with the cross compiler, under /usr/<triplet>.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${difral_cross_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${difral_cross_multiarch})

set(difral_sysroot ${CMAKE_CURRENT_LIST_DIR}/../build/sysroot/${difral_cross_arch})
cmake_path(NORMAL_PATH difral_sysroot)
set(difral_sysroot_libraries
    ${difral_sysroot}/lib/${difral_cross_multiarch}
    ${difral_sysroot}/usr/lib/${difral_cross_multiarch})

# Libraries, headers and packages come from the sysroot only, never the
# host's; programs run on the host.
set(CMAKE_FIND_ROOT_PATH ${difral_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
    ${difral_sysroot}/usr/lib/${difral_cross_multiarch}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${difral_sysroot})
set(ENV{PKG_CONFIG_PATH} "")

# libzip's own libraries are found where they were unpacked, when linking
# and when running.
list(JOIN difral_sysroot_libraries ":" difral_library_path)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${difral_library_path}")

# Test discovery and ctest start the test binary through the emulator, which
# finds the program interpreter and the runtimes under /usr/<triplet>.
find_program(DIFRAL_QEMU NAMES ${difral_cross_qemu}-static ${difral_cross_qemu}
             REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${DIFRAL_QEMU} -L /usr/${difral_cross_triplet}
    -E LD_LIBRARY_PATH=${difral_library_path})
