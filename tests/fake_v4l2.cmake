# The fake V4L2 camera (a library loaded with LD_PRELOAD) and the tests of the camera path
# that run against it: the standard V4L2 tools, then the program's own capture window.
set(FAKE_V4L2_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
pkg_check_modules(FAKE_V4L2_AV REQUIRED IMPORTED_TARGET libavcodec libavutil)
add_library(brisolt_fake_v4l2 SHARED ${FAKE_V4L2_ROOT}/tests/fakes/v4l2/FakeV4l2Camera.cpp)
set_target_properties(brisolt_fake_v4l2 PROPERTIES
  AUTOMOC OFF
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  CXX_VISIBILITY_PRESET default)
target_link_libraries(brisolt_fake_v4l2 PRIVATE PkgConfig::FAKE_V4L2_AV ${CMAKE_DL_LIBS})

# v4l2-ctl and ffmpeg accept the fake as a camera; the program finds it through
# tests/run-with-fake-camera.
add_test(NAME camera_tools
  COMMAND ${FAKE_V4L2_ROOT}/tests/camera_tools.sh $<TARGET_FILE:brisolt_fake_v4l2>
          $<TARGET_FILE:brisolt>)
set_tests_properties(camera_tools PROPERTIES
  ENVIRONMENT "${BRISOLT_TEST_ENV}" LABELS camera TIMEOUT 120)

# The program's camera path against the fake, through the real FFmpeg capture window.
add_executable(camera_end_to_end ${FAKE_V4L2_ROOT}/tests/camera_end_to_end.cpp)
target_link_libraries(camera_end_to_end PRIVATE brisolt_testsupport)
add_dependencies(camera_end_to_end brisolt_fake_v4l2)
add_test(NAME camera_end_to_end COMMAND camera_end_to_end)
set_tests_properties(camera_end_to_end PROPERTIES
  ENVIRONMENT "${BRISOLT_TEST_ENV};LD_PRELOAD=$<TARGET_FILE:brisolt_fake_v4l2>"
  LABELS camera TIMEOUT 180)
