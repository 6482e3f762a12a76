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
# camera_faults holds the faults a camera shows in the field: glitches, slow rates, a first
# picture that is still settling, a driver that hangs; camera_hangs the driver dialogs,
# the device scan and the program's end on a driver that hangs.
foreach(camera_test camera_end_to_end camera_faults camera_hangs)
  add_executable(${camera_test} ${FAKE_V4L2_ROOT}/tests/${camera_test}.cpp
                 ${FAKE_V4L2_ROOT}/tests/camera_harness.cpp)
  target_link_libraries(${camera_test} PRIVATE brisolt_testsupport)
  add_dependencies(${camera_test} brisolt_fake_v4l2)
  add_test(NAME ${camera_test} COMMAND ${camera_test})
  set_tests_properties(${camera_test} PROPERTIES
    ENVIRONMENT "${BRISOLT_TEST_ENV};LD_PRELOAD=$<TARGET_FILE:brisolt_fake_v4l2>"
    LABELS camera TIMEOUT 180)
endforeach()
