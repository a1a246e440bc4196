# Program shell: text helpers, single-instance guard, main window, the real program on a
# virtual display.
if(NOT TARGET mvclient_core)
  return()
endif()

mv_add_test(NAME test_utils_text QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_utils_text.cpp
  LIBS mvclient_core)

# The window reads Option.ini beside its program: this test gets a folder of its own.
mv_add_test(NAME test_mainwindow_shell QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainwindow_shell.cpp
  LIBS mvclient_core
  ENV MV_PROJECT_VERSION=${PROJECT_VERSION}
  TIMEOUT 180)
set_target_properties(test_mainwindow_shell PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/shell-window)

if(TARGET MirvaleClient)
  mv_add_test(NAME test_single_instance QT
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_single_instance.cpp
    LIBS Qt5::Core
    TIMEOUT 240)
  add_dependencies(test_single_instance MirvaleClient)

  # The real program under Xvfb with a tray host: window up, screenshot in the build
  # tree, a second start reported, quit from the tray menu.
  set(shell_xvfb_dir ${CMAKE_CURRENT_BINARY_DIR}/shell-xvfb)
  file(MAKE_DIRECTORY ${shell_xvfb_dir}/tmp)
  add_test(NAME test_program_xvfb
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/xvfb-session.sh
      $<TARGET_FILE:MirvaleClient> ${shell_xvfb_dir}/mirvale-window.png 1 --checks)
  # The program draws no OpenGL: without the GL integration Qt loads no Mesa driver,
  # whose allocations the leak checker cannot name once the driver is unloaded at exit.
  set_tests_properties(test_program_xvfb PROPERTIES
    ENVIRONMENT "QT_XCB_GL_INTEGRATION=none;TMPDIR=${shell_xvfb_dir}/tmp;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/xdg-runtime;MVUKEY_STORE=${shell_xvfb_dir}/store;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;ASAN_OPTIONS=detect_leaks=1"
    TIMEOUT 180)
endif()

if(TARGET MirvaleClient)
  add_test(NAME test_install_layout
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_install.sh ${CMAKE_BINARY_DIR}
      ${CMAKE_CURRENT_BINARY_DIR}/shell-install ${PROJECT_VERSION})
  set_tests_properties(test_install_layout PROPERTIES TIMEOUT 120)
endif()

mv_add_fuzz(NAME fuzz_parse_char_array
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_parse_char_array.cpp
  LIBS mvclient_core
  SECONDS 20)
