# Cross-compiles for big-endian 64-bit IBM Z Linux with Debian's
# s390x-linux-gnu toolchain and runs the results under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(difral_cross_triplet s390x-linux-gnu)
set(difral_cross_multiarch s390x-linux-gnu)
set(difral_cross_arch s390x)
set(difral_cross_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
