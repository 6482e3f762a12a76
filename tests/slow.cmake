# Slow tests: programs under tests/slow/, registered with the label "slow" and only for the
# CTest configuration "slow", so that a plain `ctest` leaves them out. Run them with
#   ctest --test-dir build -C slow -L slow --output-on-failure
file(GLOB SLOW_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/slow/test_*.cpp)
foreach(slow_source ${SLOW_TEST_SOURCES})
  get_filename_component(slow_name ${slow_source} NAME_WE)
  set(slow_target slow_${slow_name})
  add_executable(${slow_target} ${slow_source})
  target_link_libraries(${slow_target} PRIVATE brisolt_testsupport)
  string(REGEX REPLACE "^test_" "slow_" slow_test ${slow_name})
  add_test(NAME ${slow_test} CONFIGURATIONS slow COMMAND ${slow_target})
  set_tests_properties(${slow_test} PROPERTIES
    LABELS slow ENVIRONMENT "${BRISOLT_TEST_ENV}" TIMEOUT 1800)
endforeach()
