# The test suite of one build: the Python tests run by the target's own
# interpreter (natively, under qemu-arm, or with the sanitizer runtime), and
# the checks of the built artefact, run on the build machine.
set(tests_dir "${CMAKE_CURRENT_SOURCE_DIR}/tests")
set(suite ${KORVANE_TARGET})
if(KORVANE_SYSROOT)
  set(suite debian11-${KORVANE_TARGET})
endif()
if(KORVANE_SANITIZE)
  string(APPEND suite "-asan")
endif()

# Every test starts through tests/run, the owner of the tests' settings, run
# by the build machine's interpreter: the environment that the target's
# needs (another tree's PYTHONHOME, a sanitizer runtime) is for what it runs.
set(test_environment ${KORVANE_TEST_ENVIRONMENT} ${runtime_environment})
list(TRANSFORM test_environment PREPEND "--env=")
set(run_options --module-parent "${module_parent}" ${test_environment})
if(KORVANE_SANITIZE)
  list(APPEND run_options --sanitized)
# Requests above 2**31 bytes take 2 GiB or more each: only in a plain
# 64-bit build that runs natively (under qemu, they take a minute).
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8 AND NOT KORVANE_PROGRAM_RUNNER)
  list(APPEND run_options --huge)
endif()
string(JOIN " " interpreter ${KORVANE_TEST_PYTHON})
set(run "${PYTHON_EXECUTABLE}" "${tests_dir}/run" ${run_options} --interpreter "${interpreter}"
    --stand-in-hashlib "$<TARGET_FILE:stand_in_hashlib>")

# Time limits in seconds, generous for the slowest build (qemu-arm, about
# five times slower than native) on a machine busy with make test's other
# stages, where a test of seconds takes up to a minute: a test that hangs
# fails under its own name instead of holding up the run. The leak loops
# and the requests of 2 GiB take minutes.
set(timeout_default 300)
set(timeout_test_leaks 600)
set(timeout_test_bytes 600)

# The suites run on the libcrypto the interpreter uses, and again on each
# of KORVANE_TEST_LIBCRYPTOS (NAME=FILE), which every interpreter they
# start loads for all to see, as an executable's libcrypto, and to which
# the module must bind.
set(KORVANE_TEST_LIBCRYPTOS "" CACHE STRING
    "Other libcryptos (a ;-list of NAME=FILE) that every suite runs on too")
file(STRINGS "${tests_dir}/suites.txt" python_tests REGEX "^[a-z]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${tests_dir}/suites.txt")
# korvane_add_suites(NAME RUN...): each of python_tests as NAME.TEST, started
# by RUN.
function(korvane_add_suites name)
  foreach(test_module IN LISTS python_tests)
    set(timeout ${timeout_default})
    if(DEFINED timeout_${test_module})
      set(timeout ${timeout_${test_module}})
    endif()
    add_test(NAME ${name}.${test_module} COMMAND ${ARGN} ${test_module})
    set_tests_properties(${name}.${test_module} PROPERTIES TIMEOUT ${timeout})
  endforeach()
endfunction()
foreach(generation IN ITEMS "" ${KORVANE_TEST_LIBCRYPTOS})
  set(generation_suite ${suite})
  set(generation_run ${run})
  if(generation MATCHES "^([^=]+)=(.+)$")
    set(generation_suite ${suite}-${CMAKE_MATCH_1})
    list(APPEND generation_run --load-libcrypto "${CMAKE_MATCH_2}")
  endif()
  korvane_add_suites(${generation_suite} ${generation_run})
  # Allocation failures, half-done initialisation and forks in the middle
  # of a call, in an embedded interpreter, run by the target's runner.
  add_test(NAME ${generation_suite}.fault_injection
           COMMAND ${generation_run} -- ${program_runner} $<TARGET_FILE:fault_injection_test>)
  set_tests_properties(${generation_suite}.fault_injection PROPERTIES TIMEOUT ${timeout_default})
endforeach()

# The stable ABI's module, where the build makes one, by the tree's Python 3
# on its own libcrypto: what Python 3 changes (the interpreter's interface,
# its types) cannot differ from one libcrypto to another. Under an emulator
# it changes only the conversions of arguments and results, which 32 bits
# may show: the binding, the daemon's exchange, forks and threads are the
# emulated 2.7 suite's and the native Python 3 suite's, as the leak loops.
if(TARGET rand3 AND KORVANE_TEST_PYTHON3)
  string(JOIN " " interpreter ${KORVANE_TEST_PYTHON3})
  set(run3 "${PYTHON_EXECUTABLE}" "${tests_dir}/run" ${run_options} --interpreter "${interpreter}"
      --stand-in-hashlib "$<TARGET_FILE:stand_in_hashlib3>")
  if(KORVANE_PROGRAM_RUNNER)
    list(REMOVE_ITEM python_tests test_leaks test_package test_egd test_threads)
  endif()
  korvane_add_suites(${suite}-python3 ${run3})
  add_test(NAME ${suite}-python3.fault_injection
           COMMAND ${run3} -- ${program_runner} $<TARGET_FILE:fault_injection_test3>)
  set_tests_properties(${suite}-python3.fault_injection PROPERTIES TIMEOUT ${timeout_default})
endif()

# The built files themselves, read on the build machine.
function(korvane_add_artifact_test name module)
  add_test(NAME ${name}.test_artifact COMMAND_EXPAND_LISTS COMMAND "${PYTHON_EXECUTABLE}" "${tests_dir}/run"
           --artifact $<TARGET_FILE:${module}> --target ${KORVANE_TARGET} $<$<BOOL:${KORVANE_SANITIZE}>:--sanitized>
           $<$<NOT:$<BOOL:${korvane_hardened}>>:--not-hardened> $<$<NOT:$<BOOL:${KORVANE_SYSROOT}>>:--source-build>)
  set_tests_properties(${name}.test_artifact PROPERTIES TIMEOUT ${timeout_default})
endfunction()
korvane_add_artifact_test(${suite} rand)
if(TARGET rand3)
  korvane_add_artifact_test(${suite}-python3 rand3)
endif()

# Once, in the x86-64 tree build:
if(KORVANE_SYSROOT AND KORVANE_TARGET STREQUAL "x86_64" AND NOT KORVANE_SANITIZE)
  # The README's tour, by each of the tree's interpreters, as make demo
  # runs it.
  foreach(launched_name IN ITEMS python2.7 python3)
    add_test(NAME ${suite}.demo_${launched_name}
             COMMAND "${CMAKE_BINARY_DIR}/${launched_name}" "${CMAKE_CURRENT_SOURCE_DIR}/demo/demo.py")
    set_tests_properties(${suite}.demo_${launched_name} PROPERTIES TIMEOUT ${timeout_default})
  endforeach()
  # Older headers on an architecture whose getrandom number the module does
  # not know (i386 on Debian 8 and Ubuntu 14.04, aarch64 and ppc64le on RHEL
  # 7): the entropy source must still build there, and read /dev/urandom
  # alone, calling nothing by a guessed number. aarch64's headers with the
  # number taken away stand in for them.
  find_program(KORVANE_AARCH64_CXX aarch64-linux-gnu-g++)
  find_program(KORVANE_AARCH64_NM aarch64-linux-gnu-nm)
  set(old_headers "${CMAKE_CURRENT_BINARY_DIR}/headers_without_getrandom.h")
  file(WRITE "${old_headers}" "#include <sys/syscall.h>\n#undef SYS_getrandom\n")
  if(KORVANE_AARCH64_CXX AND KORVANE_AARCH64_NM)
    add_test(NAME ${suite}.entropy_without_getrandom_number
             COMMAND sh -c "nm=$1 object=$2; shift 2; \"$@\" -o \"$object\" && ! \"$nm\" \"$object\" | grep -w syscall"
                     check "${KORVANE_AARCH64_NM}" "${CMAKE_CURRENT_BINARY_DIR}/os_entropy.aarch64.o"
                     "${KORVANE_AARCH64_CXX}" ${korvane_cxx_flags} -pedantic-errors -Werror -O2
                     -include "${old_headers}" -c "${CMAKE_CURRENT_SOURCE_DIR}/src/os_entropy.cpp")
  else()
    add_test(NAME ${suite}.entropy_without_getrandom_number
             COMMAND "${CMAKE_COMMAND}" -E echo
                     "skipped: no aarch64-linux-gnu-g++ here (scripts/install-deps native installs it)")
    set_tests_properties(${suite}.entropy_without_getrandom_number PROPERTIES
      SKIP_REGULAR_EXPRESSION "skipped:")
  endif()
endif()

# What each interpreter's module (rand: Python 2.7's, rand3: Python 3's)
# is tested with besides its suites.
foreach(python IN ITEMS "" 3)
  if(NOT TARGET rand${python})
    continue()
  endif()

  # The fault-injection program: the interpreter's and the C library's
  # calls that fail are wrapped at link time, libcrypto's in the module's
  # table; the calls wrapped are those the module makes, text by
  # PyString_FromString on Python 2.7 and PyUnicode_FromString on 3.
  set(text_call PyString_FromString)
  if(python)
    set(text_call PyUnicode_FromString)
  endif()
  set(wrapped_calls PyList_New _Py_BuildValue_SizeT ${text_call} PyErr_NewException PyModule_AddObject
      syscall open)
  list(TRANSFORM wrapped_calls PREPEND "LINKER:--wrap=")
  add_executable(fault_injection_test${python} tests/fault_injection_test.cpp tests/helpers_from_c.c)
  target_link_libraries(fault_injection_test${python} PRIVATE rand${python}_objects korvane_libpython${python})
  target_link_options(fault_injection_test${python} PRIVATE ${wrapped_calls})

  # The module linked once more, with libpython and -z defs: a symbol that
  # neither the interpreter, libcrypto nor the C library defines (the C++
  # runtime's, say) fails this link, where the shipped module, whose Python
  # symbols are left for the interpreter that loads it, would only fail to
  # load.
  add_library(rand${python}_fully_linked MODULE)
  korvane_link_module(rand${python}_fully_linked ${python})
  target_link_libraries(rand${python}_fully_linked PRIVATE korvane_libpython${python})
  target_link_options(rand${python}_fully_linked PRIVATE "LINKER:-z,defs")
  get_target_property(name rand${python} OUTPUT_NAME)
  set_target_properties(rand${python}_fully_linked PROPERTIES OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/fully-linked")

  # test_package's stand-in for the interpreter's _ssl (or _hashlib): an
  # extension that needs the build's libcrypto by name and finds it only
  # through its RUNPATH, which test_package copies under the name it needs.
  add_library(stand_in_hashlib${python} MODULE tests/stand_in_hashlib.c)
  target_link_libraries(stand_in_hashlib${python} PRIVATE korvane_build_options korvane_python${python} crypto)
  target_link_options(stand_in_hashlib${python} PRIVATE "LINKER:--no-as-needed" "LINKER:--enable-new-dtags")
  set_target_properties(stand_in_hashlib${python} PROPERTIES PREFIX "" OUTPUT_NAME _hashlib${python}
    SKIP_BUILD_RPATH ON LINK_FLAGS "-Wl,-rpath,'\$ORIGIN/private'"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/stand-in")
  add_dependencies(stand_in_hashlib${python} stand_in_wrapper)
endforeach()
# Beside it, a library that defines a few of libcrypto's names: a wrapper
# of another library, or an interposer.
add_library(stand_in_wrapper MODULE tests/stand_in_wrapper.c)
target_link_libraries(stand_in_wrapper PRIVATE korvane_build_options)
set_target_properties(stand_in_wrapper PROPERTIES PREFIX ""
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/stand-in")
