# The benchmark: its C driver (libcrypto's RAND_bytes with nothing in
# between) and `make bench`'s target, which runs bench.py with this build's
# interpreters, modules and driver; the suite runs it once at tiny sizes, so
# that it cannot stop working unnoticed. Programs of the ARM builds cannot
# be counted or timed here, nor those of the sanitizer build.
if(NOT KORVANE_TARGET STREQUAL "x86_64" OR KORVANE_SANITIZE)
  return()
endif()
add_executable(rand_bytes_floor bench/rand_bytes_floor.cpp)
target_compile_options(rand_bytes_floor PRIVATE ${korvane_cxx_flags})
# The tree's own libcrypto, linked as any C program links it.
target_link_libraries(rand_bytes_floor PRIVATE crypto)
target_link_options(rand_bytes_floor PRIVATE ${KORVANE_TREE_LINK_OPTIONS})
set_target_properties(rand_bytes_floor PROPERTIES LINKER_LANGUAGE C)

# Each table by the build's Python 2.7, and again by the tree's Python 3
# with the stable ABI's module, where the build makes one.
set(bench ${run} -- ${KORVANE_TEST_PYTHON} "${CMAKE_CURRENT_SOURCE_DIR}/bench/bench.py")
set(bench_programs "$<TARGET_FILE:rand_bytes_floor>" ${program_runner})
add_test(NAME ${suite}.bench COMMAND ${bench} --quick ${bench_programs})
set_tests_properties(${suite}.bench PROPERTIES TIMEOUT ${timeout_default})
if(NOT TARGET rand3 OR NOT KORVANE_TEST_PYTHON3)
  add_custom_target(bench COMMAND ${bench} ${bench_programs} DEPENDS rand rand_bytes_floor
    USES_TERMINAL VERBATIM)
  return()
endif()
set(bench3 ${run} -- ${KORVANE_TEST_PYTHON3} "${CMAKE_CURRENT_SOURCE_DIR}/bench/bench.py")
add_custom_target(bench COMMAND ${bench} ${bench_programs} COMMAND ${bench3} ${bench_programs}
  DEPENDS rand rand3 rand_bytes_floor USES_TERMINAL VERBATIM)
add_test(NAME ${suite}-python3.bench COMMAND ${bench3} --quick ${bench_programs})
set_tests_properties(${suite}-python3.bench PROPERTIES TIMEOUT ${timeout_default})
