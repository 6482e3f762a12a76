# Power cuts replayed from a write journal: the journal shim (a library loaded with
# LD_PRELOAD), and the program that records runs of the AVI writer and the snapshot through
# it and checks every crash state. One CTest test per case, label "durability"; the same
# with every state read by ffmpeg, mediainfo and GStreamer in the "slow" configuration
# (see slow.cmake). The same runs killed after every write of theirs: kill_state_<case>.
set(DURABILITY_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
add_library(brisolt_journal SHARED ${DURABILITY_ROOT}/tests/fakes/journal/WriteJournalShim.cpp)
set_target_properties(brisolt_journal PROPERTIES
  AUTOMOC OFF
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  CXX_VISIBILITY_PRESET default)
target_include_directories(brisolt_journal PRIVATE ${DURABILITY_ROOT}/tests)
target_link_libraries(brisolt_journal PRIVATE ${CMAKE_DL_LIBS})

add_executable(power_cut_replay ${DURABILITY_ROOT}/tests/power_cut_replay.cpp)
target_link_libraries(power_cut_replay PRIVATE brisolt_testsupport ${CMAKE_DL_LIBS})
add_dependencies(power_cut_replay brisolt_journal)

set(POWER_CUT_CASES raw mjpeg h264 riffs rollover rollback rollback_odml snapshot)
set(POWER_CUT_ENV "${BRISOLT_TEST_ENV};LD_PRELOAD=$<TARGET_FILE:brisolt_journal>")
foreach(power_cut_case ${POWER_CUT_CASES})
  add_test(NAME power_cut_${power_cut_case}
    COMMAND power_cut_replay --gtest_filter=*EveryCrashState*/${power_cut_case})
  set_tests_properties(power_cut_${power_cut_case} PROPERTIES
    ENVIRONMENT "${POWER_CUT_ENV}" LABELS durability TIMEOUT 300)
  add_test(NAME slow_power_cut_${power_cut_case} CONFIGURATIONS slow
    COMMAND power_cut_replay --gtest_filter=*EveryCrashState*/${power_cut_case})
  set_tests_properties(slow_power_cut_${power_cut_case} PROPERTIES
    ENVIRONMENT "${POWER_CUT_ENV};BRISOLT_CRASH_EVERY_STATE=1" LABELS "slow;durability"
    TIMEOUT 3600)
endforeach()
# A snapshot is written whole under a temporary name: a kill leaves no half of it to read.
foreach(kill_case raw mjpeg h264 riffs rollover rollback rollback_odml)
  add_test(NAME kill_state_${kill_case}
    COMMAND power_cut_replay --gtest_filter=*EveryKillState*/${kill_case})
  set_tests_properties(kill_state_${kill_case} PROPERTIES
    ENVIRONMENT "${POWER_CUT_ENV}" LABELS durability TIMEOUT 300)
endforeach()
