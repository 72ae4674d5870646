# What the cross toolchain files share: Debian's cross compiler for
# ULMOT_CROSS_TRIPLE (g++-<triple>), the target's libraries and headers under
# /usr/<triple>, and qemu-user as the emulator that runs the target's
# programs: ctest starts every test executable through it, and
# gtest_discover_tests lists the cases through it. qemu's -L points the
# target's dynamic loader and libraries at /usr/<triple> (the same as
# QEMU_LD_PREFIX).
#
# Included by cmake/toolchain-<arch>.cmake after it has set
# ULMOT_CROSS_TRIPLE, ULMOT_CROSS_PROCESSOR and ULMOT_CROSS_QEMU.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ULMOT_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${ULMOT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ULMOT_CROSS_TRIPLE}-g++)

set(ULMOT_CROSS_SYSROOT /usr/${ULMOT_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${ULMOT_CROSS_SYSROOT})
# Programs are the build machine's; libraries, headers and packages the
# target's only, so that nothing of the host's architecture is linked.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ULMOT_CROSS_QEMU_PATH ${ULMOT_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ULMOT_CROSS_QEMU_PATH} -L ${ULMOT_CROSS_SYSROOT})
