# Cross-compiles for 64-bit ARM Linux with Debian's aarch64-linux-gnu
# toolchain and runs the results under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(difral_cross_triplet aarch64-linux-gnu)
set(difral_cross_multiarch aarch64-linux-gnu)
set(difral_cross_arch arm64)
set(difral_cross_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
