# The program as a Wayland client: Qt's native Wayland plugin under a headless weston that
# tests/wayland/run-under-weston starts for the test. Screenshots land in the build folder.
add_executable(test_wayland_session ${CMAKE_CURRENT_LIST_DIR}/wayland/test_wayland_session.cpp)
target_link_libraries(test_wayland_session PRIVATE brisolt_testsupport)
add_test(NAME wayland_session
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/wayland/run-under-weston $<TARGET_FILE:test_wayland_session>)
set_tests_properties(wayland_session PROPERTIES
  ENVIRONMENT "${BRISOLT_TEST_ENV};BRISOLT_SCREENSHOT_DIR=${CMAKE_BINARY_DIR}/wayland-screenshots"
  LABELS wayland TIMEOUT 300)
