# x86-64 Debian 11 (bullseye), and so Debian 10 and Ubuntu 18.04/20.04 too:
# the distribution's own Python 2.7 and libcrypto 1.1, glibc 2.31 at most.
# Needs KORVANE_SYSROOT, an amd64 tree made by scripts/make-tree.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
include("${CMAKE_CURRENT_LIST_DIR}/debian11-tree.cmake")
# The tree's interpreter also serves the build machine's own Python work
# (the artefact checks), unless another one is named.
set(PYTHON_EXECUTABLE "${KORVANE_SYSROOT}/python2.7" CACHE FILEPATH "The build machine's Python 2.7")
set(KORVANE_TREE_ENVIRONMENT "PYTHONHOME=${KORVANE_SYSROOT}/usr" CACHE STRING "" FORCE)

if(NOT KORVANE_SANITIZE)
  set(CMAKE_SYSROOT "${KORVANE_SYSROOT}")
  korvane_link_against_tree(usr/lib/${korvane_triplet} lib/${korvane_triplet})
  # Programs built here run natively under the tree's own loader and C library.
  set(KORVANE_PROGRAM_LOADER "${KORVANE_SYSROOT}/lib/${korvane_triplet}/ld-linux-x86-64.so.2"
      CACHE STRING "" FORCE)
  set(KORVANE_PROGRAM_LIBRARY_PATH
      "${KORVANE_SYSROOT}/lib/${korvane_triplet};${KORVANE_SYSROOT}/usr/lib/${korvane_triplet}"
      CACHE STRING "" FORCE)
  set(KORVANE_TEST_LIBRARY_PATH "" CACHE STRING "" FORCE)
else()
  # gcc 12's sanitizer runtime needs a newer C library than the tree's: the
  # tree's headers and libraries, but the build machine's C library and
  # loader, which then also run the tree's interpreter.
  set(CMAKE_SYSROOT_COMPILE "${KORVANE_SYSROOT}")
  korvane_link_against_tree(usr/lib/${korvane_triplet})
  set(KORVANE_TEST_PYTHON "${KORVANE_SYSROOT}/usr/bin/python2.7" CACHE STRING "" FORCE)
  set(KORVANE_TEST_PYTHON3 "${KORVANE_SYSROOT}/usr/bin/python3" CACHE STRING "" FORCE)
  set(KORVANE_TEST_LIBRARY_PATH "${KORVANE_SYSROOT}/usr/lib/${korvane_triplet}" CACHE STRING "" FORCE)
  set(KORVANE_PROGRAM_LOADER "" CACHE STRING "" FORCE)
  # That C library has the loader's calls itself; the tree's libdl would
  # need the tree's own.
  set(KORVANE_DL_LIBS "" CACHE STRING "" FORCE)
endif()
