# 32-bit ARM Linux, ARMv6 with VFPv2, hard-float, ARM state (the flags of
# scripts/targets.txt): the boards the module ships for, such as the
# ARM1176, on Debian 11 based systems.
# Needs KORVANE_SYSROOT, an armhf tree made by scripts/make-tree.
set(CMAKE_SYSTEM_PROCESSOR armv6l)
include("${CMAKE_CURRENT_LIST_DIR}/debian11-tree.cmake")

# Debian's armhf start files and libgcc.a are ARMv7 Thumb-2 code; linking
# them would make the module unusable on an ARMv6 CPU. The module has no
# static constructors, so it needs neither; the C library comes by name.
# Test programs (not shipped) keep the start files.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-nostartfiles -nostdlib")
set(KORVANE_EXTRA_LINK_LIBRARIES c CACHE STRING "Libraries that -nostdlib leaves out")
