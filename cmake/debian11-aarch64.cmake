# 64-bit ARM Linux (aarch64), built on Debian 11 for every system that
# docs/arm.md lists: glibc 2.17, aarch64's first, at most. Needs KORVANE_SYSROOT, an arm64 tree made by
# scripts/make-tree.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/debian11-tree.cmake")
