# 64-bit ARM Linux (aarch64) on Debian 11 based systems: Raspberry Pi OS
# 64-bit, Ubuntu 18.04 and 20.04, Amazon Linux 2 on Graviton; glibc 2.17,
# aarch64's first, at most. Needs KORVANE_SYSROOT, an arm64 tree made by
# scripts/make-tree.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(korvane_triplet aarch64-linux-gnu)
set(KORVANE_DEB_HOST_ARCH arm64)
include("${CMAKE_CURRENT_LIST_DIR}/debian11-tree.cmake")
set(CMAKE_SYSROOT "${KORVANE_SYSROOT}")
korvane_link_against_tree(usr/lib/${korvane_triplet} lib/${korvane_triplet})

# The build's programs and the tree's interpreter run under qemu-aarch64.
set(KORVANE_PROGRAM_RUNNER "qemu-aarch64;-L;${KORVANE_SYSROOT}" CACHE STRING "" FORCE)
set(KORVANE_TREE_ENVIRONMENT "PYTHONHOME=${KORVANE_SYSROOT}/usr" CACHE STRING "" FORCE)
