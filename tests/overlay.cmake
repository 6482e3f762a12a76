# The randomised overlay test once more, built with AddressSanitizer and UBSan over the
# overlay's own sources, so that a write past a frame buffer fails the test run.
set(OVERLAY_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
add_executable(overlay_asan_tests
  ${OVERLAY_ROOT}/tests/test_overlay_fuzz.cpp
  ${OVERLAY_ROOT}/tests/support/TestMain.cpp
  ${OVERLAY_ROOT}/src/overlay/FrameCallback.cpp
  ${OVERLAY_ROOT}/src/overlay/OverlayGeometry.cpp
  ${OVERLAY_ROOT}/src/overlay/TimeStampText.cpp
  ${OVERLAY_ROOT}/src/platform/text/TextMask.cpp
  ${OVERLAY_ROOT}/src/platform/text/TextMaskCache.cpp
  ${OVERLAY_ROOT}/src/platform/text/GlyphRaster.cpp
  ${OVERLAY_ROOT}/src/common/CaptureSettings.cpp)
target_include_directories(overlay_asan_tests PRIVATE ${OVERLAY_ROOT}/src ${OVERLAY_ROOT}/tests)
target_compile_options(overlay_asan_tests PRIVATE
  -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
target_link_options(overlay_asan_tests PRIVATE -fsanitize=address,undefined)
target_link_libraries(overlay_asan_tests PRIVATE Qt6::Widgets Qt6::Gui GTest::gtest)
set_target_properties(overlay_asan_tests PROPERTIES AUTOMOC OFF)
add_test(NAME overlay_asan COMMAND overlay_asan_tests)
set_tests_properties(overlay_asan PROPERTIES
  ENVIRONMENT "${BRISOLT_TEST_ENV};ASAN_OPTIONS=detect_stack_use_after_return=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1"
  TIMEOUT 300)
