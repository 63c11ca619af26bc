# Hardening as Debian hardens its own packages: dpkg-buildflags for the
# target's Debian architecture (KORVANE_DEB_HOST_ARCH, else the build
# machine's), every hardening feature on, less its optimisation and
# debugging flags (src/dpkg-buildflags.txt): the build's own -O3 is what
# the benchmark measures, and nothing shipped carries debugging information.
set(KORVANE_BUILDFLAGS AUTO CACHE STRING
    "REQUIRED: flags from dpkg-buildflags or no build (the project's own builds); AUTO: where it is installed; OFF")
set_property(CACHE KORVANE_BUILDFLAGS PROPERTY STRINGS REQUIRED AUTO OFF)

# Gives TARGET's users (an interface library) dpkg-buildflags' flags, and
# sets korvane_hardened to whether it could.
function(korvane_use_debian_buildflags target)
  set(korvane_hardened OFF PARENT_SCOPE)
  if(KORVANE_BUILDFLAGS STREQUAL "OFF")
    return()
  endif()
  find_program(KORVANE_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT KORVANE_DPKG_BUILDFLAGS)
    if(KORVANE_BUILDFLAGS STREQUAL "REQUIRED")
      message(FATAL_ERROR "KORVANE_BUILDFLAGS is REQUIRED, but there is no dpkg-buildflags (dpkg-dev)")
    endif()
    message(STATUS "No dpkg-buildflags: the compiler's own hardening defaults stand")
    return()
  endif()
  # How it is asked, and what of its answer is dropped, as setup.py reads them.
  set(settings "${CMAKE_CURRENT_SOURCE_DIR}/src/dpkg-buildflags.txt")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${settings}")
  file(STRINGS "${settings}" environment REGEX "^environment: ")
  list(TRANSFORM environment REPLACE "^environment: " "")
  file(STRINGS "${settings}" unwanted REGEX "^drop: ")
  string(REGEX REPLACE "^drop: " "" unwanted "${unwanted}")
  if(KORVANE_DEB_HOST_ARCH)
    list(APPEND environment "DEB_HOST_ARCH=${KORVANE_DEB_HOST_ARCH}")
  endif()
  foreach(kind IN ITEMS CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env ${environment} "${KORVANE_DPKG_BUILDFLAGS}" --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed: ${status}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "${unwanted}")
    set(${kind} ${flags})
  endforeach()
  message(STATUS "Hardened as dpkg-buildflags says: ${CPPFLAGS} ${CXXFLAGS} ${LDFLAGS}")
  target_compile_options(${target} INTERFACE ${CPPFLAGS} "$<$<COMPILE_LANGUAGE:C>:${CFLAGS}>"
                                             "$<$<COMPILE_LANGUAGE:CXX>:${CXXFLAGS}>")
  target_link_options(${target} INTERFACE ${LDFLAGS})
  set(korvane_hardened ON PARENT_SCOPE)
endfunction()
