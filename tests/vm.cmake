# The VM rig's tests (label vm, part of the default run): vm_camera runs the main window on the
# real FFmpeg capture window and the real power services in a QEMU guest (tests/vm/run-in-vm)
# on the kernel's vivid camera, where the logind stand-in suspends the guest for real.
set(VM_ROOT ${CMAKE_CURRENT_LIST_DIR}/vm)
add_executable(vm_camera ${VM_ROOT}/vm_camera.cpp ${VM_ROOT}/vm_sleep.cpp
               ${CMAKE_CURRENT_LIST_DIR}/camera_harness.cpp)
target_link_libraries(vm_camera PRIVATE brisolt_testsupport)
set(VM_VIVID "n_devs=1 node_types=0x1")

# A recording, clock changes and v4l2-compliance, in one guest.
add_test(NAME vm_recording
  COMMAND ${VM_ROOT}/run-in-vm --build ${CMAKE_BINARY_DIR} --name recording
          --vivid ${VM_VIVID} --time-limit 400
          -- $<TARGET_FILE:vm_camera> --gtest_filter=Vm.*)
# Real sleep between frames, a camera that re-enumerates across it, hibernation at the end.
add_test(NAME vm_sleep
  COMMAND ${VM_ROOT}/run-in-vm --build ${CMAKE_BINARY_DIR} --name sleep
          --vivid ${VM_VIVID} --time-limit 400
          --before-suspend "${VM_ROOT}/vivid-replug unplug"
          --after-resume "${VM_ROOT}/vivid-replug plug"
          --on-hibernate "cp /tmp/vm-sleep/brslt000.avi /tmp/vm-sleep/at-hibernate.avi"
          -- ${VM_ROOT}/with-wake-privilege $<TARGET_FILE:vm_camera> --gtest_filter=VmSleep.*)
set_tests_properties(vm_recording vm_sleep PROPERTIES
  LABELS vm TIMEOUT 420 ENVIRONMENT "${BRISOLT_TEST_ENV}" SKIP_RETURN_CODE 77)
