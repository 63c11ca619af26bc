# What the Debian 11 targets share: a tree made by scripts/make-tree
# (KORVANE_SYSROOT) holding the distribution's own Python 2.7 and 3, which
# the modules are compiled against, and libcrypto 1.1, with which those
# interpreters run the tests (the tree's python2.7 and python3 launchers). Included by a
# target's toolchain file.
# The settings below are derived from the tree, so they are forced: a cache
# cannot keep those of another tree.
set(CMAKE_SYSTEM_NAME Linux)

# The target's facts, which scripts/build gives from the table of targets
# (scripts/targets.txt).
set(KORVANE_DEB_HOST_ARCH "" CACHE STRING "The target's Debian architecture")
set(KORVANE_TRIPLET "" CACHE STRING "The target's GNU triplet")
set(KORVANE_EMULATOR "-" CACHE STRING "The qemu that runs the target's programs here ('-': none)")
set(KORVANE_TARGET_FLAGS "" CACHE STRING "The flags that every compile for the target takes")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_DEB_HOST_ARCH KORVANE_TRIPLET KORVANE_EMULATOR
     KORVANE_TARGET_FLAGS)
set(CMAKE_C_FLAGS_INIT "${KORVANE_TARGET_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KORVANE_TARGET_FLAGS}")
if(NOT KORVANE_DEB_HOST_ARCH OR NOT KORVANE_TRIPLET)
  message(FATAL_ERROR "Set KORVANE_DEB_HOST_ARCH and KORVANE_TRIPLET (scripts/build NAME does)")
endif()
set(korvane_triplet "${KORVANE_TRIPLET}")
set(korvane_emulator "${KORVANE_EMULATOR}")

set(KORVANE_SYSROOT "$ENV{KORVANE_SYSROOT}" CACHE PATH "The Debian 11 tree to build against")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_SYSROOT)
if(NOT EXISTS "${KORVANE_SYSROOT}/.complete")
  message(FATAL_ERROR "Set KORVANE_SYSROOT to a Debian 11 tree (scripts/make-tree makes one)")
endif()
set(CMAKE_FIND_ROOT_PATH "${KORVANE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# gcc looks in the build machine's library directories before the tree's,
# and CMake drops -L for directories it takes as implicit: name the tree's
# own (each a directory under the tree), so that nothing of the build
# machine's is linked.
function(korvane_link_against_tree)
  set(options "")
  foreach(directory IN LISTS ARGN)
    list(APPEND options "-L${KORVANE_SYSROOT}/${directory}" "-Wl,-rpath-link,${KORVANE_SYSROOT}/${directory}")
  endforeach()
  set(KORVANE_TREE_LINK_OPTIONS "${options}" CACHE STRING "" FORCE)
endfunction()

set(KORVANE_PYTHON_INCLUDE_DIRS
    "${KORVANE_SYSROOT}/usr/include/python2.7;${KORVANE_SYSROOT}/usr/include/${korvane_triplet}/python2.7"
    CACHE STRING "" FORCE)
set(KORVANE_PYTHON_LIBRARY_DIR "${KORVANE_SYSROOT}/usr/lib/${korvane_triplet}" CACHE PATH "" FORCE)
set(KORVANE_TEST_PYTHON "${KORVANE_SYSROOT}/python2.7" CACHE STRING "" FORCE)
# And its Python 3, 3.9, whose headers give the stable ABI's module, which
# its interpreter runs the suites with too.
set(KORVANE_PYTHON3_INCLUDE_DIRS
    "${KORVANE_SYSROOT}/usr/include/python3.9;${KORVANE_SYSROOT}/usr/include/${korvane_triplet}/python3.9"
    CACHE STRING "" FORCE)
set(KORVANE_PYTHON3_LIBRARY "${KORVANE_SYSROOT}/usr/lib/${korvane_triplet}/libpython3.9.so" CACHE FILEPATH "" FORCE)
set(KORVANE_TEST_PYTHON3 "${KORVANE_SYSROOT}/python3" CACHE STRING "" FORCE)

# An emulated target: its cross compiler, against the tree, whose programs
# and interpreter run under the emulator.
if(NOT korvane_emulator STREQUAL "-")
  set(CMAKE_C_COMPILER ${korvane_triplet}-gcc)
  set(CMAKE_CXX_COMPILER ${korvane_triplet}-g++)
  set(CMAKE_SYSROOT "${KORVANE_SYSROOT}")
  korvane_link_against_tree(usr/lib/${korvane_triplet} lib/${korvane_triplet})
  set(KORVANE_PROGRAM_RUNNER "${korvane_emulator};-L;${KORVANE_SYSROOT}" CACHE STRING "" FORCE)
  set(KORVANE_TREE_ENVIRONMENT "PYTHONHOME=${KORVANE_SYSROOT}/usr" CACHE STRING "" FORCE)
endif()
