# 32-bit ARM Linux, ARMv6 with VFPv2, hard-float, ARM state: the boards the
# module ships for, such as the ARM1176. Needs KORVANE_SYSROOT, a Debian 11
# armhf tree with python2.7, libpython2.7-dev and libssl-dev.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv6l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(KORVANE_SYSROOT "" CACHE PATH "The armhf tree to build against")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_SYSROOT)
if(NOT KORVANE_SYSROOT)
  message(FATAL_ERROR "Set KORVANE_SYSROOT to the armhf tree (make armhf makes one)")
endif()
set(CMAKE_SYSROOT "${KORVANE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${KORVANE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(armv6_flags "-march=armv6+fp -mfpu=vfp -mfloat-abi=hard -marm")
set(CMAKE_C_FLAGS_INIT "${armv6_flags}")
set(CMAKE_CXX_FLAGS_INIT "${armv6_flags}")
# Debian's armhf start files and libgcc.a are ARMv7 Thumb-2 code; linking
# them would make the module unusable on an ARMv6 CPU. The module has no
# static constructors, so it needs neither; the C library comes by name.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-nostartfiles -nostdlib")
set(KORVANE_EXTRA_LINK_LIBRARIES c CACHE STRING "Libraries that -nostdlib leaves out")

set(KORVANE_PYTHON_INCLUDE_DIRS
    "${KORVANE_SYSROOT}/usr/include/python2.7;${KORVANE_SYSROOT}/usr/include/arm-linux-gnueabihf/python2.7"
    CACHE STRING "")
set(KORVANE_PYTHON_LIBRARY_DIR "${KORVANE_SYSROOT}/usr/lib/arm-linux-gnueabihf" CACHE PATH "")
set(KORVANE_TEST_PYTHON "qemu-arm;-L;${KORVANE_SYSROOT};${KORVANE_SYSROOT}/usr/bin/python2.7" CACHE STRING "")
