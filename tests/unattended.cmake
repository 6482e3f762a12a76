# The tests of a run started from the command line start the program, with the fake camera
# preloaded into it for a camera that appears late.
add_dependencies(test_unattended brisolt brisolt_fake_v4l2)
