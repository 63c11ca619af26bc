# The test suite of one build: the Python tests run by the target's own
# interpreter (natively, under qemu-arm, or with the sanitizer runtime), and
# the checks of the built artefact, run on the build machine.
set(tests_dir "${CMAKE_CURRENT_SOURCE_DIR}/tests")
get_filename_component(module_parent "${KORVANE_OUTPUT_DIR}" DIRECTORY)

file(GLOB python_tests RELATIVE "${tests_dir}" CONFIGURE_DEPENDS "${tests_dir}/test_*.py")
list(REMOVE_ITEM python_tests test_artifact.py)
foreach(test_file IN LISTS python_tests)
  get_filename_component(test_module "${test_file}" NAME_WE)
  add_test(NAME ${KORVANE_TARGET}.${test_module}
           COMMAND ${KORVANE_TEST_PYTHON} -m unittest ${test_module}
           WORKING_DIRECTORY "${tests_dir}")
  set_tests_properties(${KORVANE_TARGET}.${test_module} PROPERTIES
    ENVIRONMENT "KORVANE_BUILD_DIR=${module_parent};PYTHONDONTWRITEBYTECODE=1;${KORVANE_TEST_ENVIRONMENT}")
endforeach()

add_test(NAME ${KORVANE_TARGET}.test_artifact
         COMMAND "${PYTHON_EXECUTABLE}" -m unittest test_artifact
         WORKING_DIRECTORY "${tests_dir}")
set_tests_properties(${KORVANE_TARGET}.test_artifact PROPERTIES
  ENVIRONMENT "KORVANE_MODULE=$<TARGET_FILE:rand>;KORVANE_TARGET=${KORVANE_TARGET};PYTHONDONTWRITEBYTECODE=1")
