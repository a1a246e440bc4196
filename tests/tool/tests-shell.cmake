# Program shell: text helpers, single-instance guard, main window, the real program on a
# virtual display.

mv_add_test(NAME tool_utils_text_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_utils_text.cpp
  LIBS mvclient_core)

# The window reads Option.ini beside its program: this test gets a folder of its own.
mv_add_test(NAME tool_mainwindow_shell_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainwindow_shell.cpp
  LIBS mvclient_core
  ENV MV_PROJECT_VERSION=${PROJECT_VERSION}
  TIMEOUT 180)
set_target_properties(tool_mainwindow_shell_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/shell-window)

mv_add_test(NAME tool_single_instance_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_single_instance.cpp
  LIBS Qt5::Core
  TIMEOUT 240)
add_dependencies(tool_single_instance_test MirvaleClient)

# The real program under Xvfb with a tray host: window up, screenshot in the build
# tree, a second start reported, quit from the tray menu.
set(shell_xvfb_dir ${CMAKE_CURRENT_BINARY_DIR}/shell-xvfb)
file(MAKE_DIRECTORY ${shell_xvfb_dir}/tmp)
mv_add_script_test(NAME tool_program_xvfb_test XVFB TIMEOUT 180
  SCRIPT ${PROJECT_SOURCE_DIR}/scripts/xvfb-session.sh
  ARGS $<TARGET_FILE:MirvaleClient> ${shell_xvfb_dir}/mirvale-window.png 1 --checks
  ENV TMPDIR=${shell_xvfb_dir}/tmp MVUKEY_STORE=${shell_xvfb_dir}/store)

mv_add_script_test(NAME tool_install_layout_test TIMEOUT 120
  SCRIPT ${CMAKE_CURRENT_LIST_DIR}/check_install.sh
  ARGS ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/shell-install ${PROJECT_VERSION})

mv_add_fuzz(NAME tool_parse_char_array_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_parse_char_array.cpp
  LIBS mvclient_core
  SECONDS 20)
