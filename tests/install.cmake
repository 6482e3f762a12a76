# The install tree, the menu entry, the AppStream data, the manual page and the Debian package,
# checked by tests/install/check.sh; and the command-line test, which starts the program.
set(BRISOLT_INSTALL_CHECK ${CMAKE_CURRENT_LIST_DIR}/install/check.sh)
foreach(check install_tree desktop_entry metainfo manual_page debian_package unattended_examples)
  add_test(NAME ${check}
    COMMAND bash ${BRISOLT_INSTALL_CHECK} ${check} ${PROJECT_VERSION})
  set_tests_properties(${check} PROPERTIES ENVIRONMENT "${BRISOLT_TEST_ENV}" TIMEOUT 300)
endforeach()
# Building the package strips and reads the same files the install tree test installs.
set_tests_properties(debian_package PROPERTIES RESOURCE_LOCK brisolt_install)
set_tests_properties(install_tree PROPERTIES RESOURCE_LOCK brisolt_install)
add_dependencies(test_command_line brisolt)
