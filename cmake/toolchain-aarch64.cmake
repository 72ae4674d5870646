# 64-bit Arm, little-endian: Debian's g++-aarch64-linux-gnu, run under
# qemu-aarch64 (cmake/cross-linux.cmake). `make cross ARCH=aarch64` uses it.
set(ULMOT_CROSS_TRIPLE aarch64-linux-gnu)
set(ULMOT_CROSS_PROCESSOR aarch64)
set(ULMOT_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
