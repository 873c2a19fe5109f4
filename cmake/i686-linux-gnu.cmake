# Cross-compiles for 32-bit x86 Linux with Debian's i686-linux-gnu toolchain
# and runs the results under qemu-user: this kernel runs no 32-bit binaries
# of its own.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(difral_cross_triplet i686-linux-gnu)
set(difral_cross_multiarch i386-linux-gnu)
set(difral_cross_arch i386)
set(difral_cross_qemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
