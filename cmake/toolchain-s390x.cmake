# IBM Z (s390x), 64-bit and big-endian: Debian's g++-s390x-linux-gnu, run
# under qemu-s390x (cmake/cross-linux.cmake). On it every value that the
# code reads or writes in the wrong byte order shows. `make cross ARCH=s390x`
# uses it.
set(ULMOT_CROSS_TRIPLE s390x-linux-gnu)
set(ULMOT_CROSS_PROCESSOR s390x)
set(ULMOT_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
