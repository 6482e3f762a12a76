# The whole end-to-end run once more with the locale taken from the environment, as a user
# with a German desktop starts the program (Qt sets the process locale from LC_ALL).
add_test(NAME end_to_end_de_DE COMMAND test_end_to_end)
set_tests_properties(end_to_end_de_DE PROPERTIES
  ENVIRONMENT "${BRISOLT_TEST_ENV};LC_ALL=de_DE.UTF-8" TIMEOUT 300)
