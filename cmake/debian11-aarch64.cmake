# 64-bit ARM Linux (aarch64) on Debian 11 based systems: Raspberry Pi OS
# 64-bit, Ubuntu 18.04 and 20.04, Amazon Linux 2 on Graviton; glibc 2.17,
# aarch64's first, at most. Needs KORVANE_SYSROOT, an arm64 tree made by
# scripts/make-tree.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/debian11-tree.cmake")
