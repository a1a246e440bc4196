# pinprompt: the class-level dialog tests, and the outside caller that loads the library with
# dlopen, on the offscreen platform and once under Xvfb with screenshots.
if(NOT TARGET pinprompt)
  return()
endif()

mv_add_test(NAME test_pinprompt_dialogs QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_pinprompt_dialogs.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dialogending.h ${CMAKE_CURRENT_LIST_DIR}/dialogending.cpp
  LIBS pinprompt
  TIMEOUT 120)

mv_add_test(NAME test_pinprompt_caller QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_pinprompt_caller.cpp
          ${CMAKE_CURRENT_LIST_DIR}/promptdriver.h ${CMAKE_CURRENT_LIST_DIR}/promptdriver.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dialogending.h ${CMAKE_CURRENT_LIST_DIR}/dialogending.cpp
  LIBS ${CMAKE_DL_LIBS} Threads::Threads
  ENV "PINPROMPT_LIB=$<TARGET_FILE:pinprompt>"
  TIMEOUT 180)
# The caller sees only the public header; the library itself is loaded at run time.
target_include_directories(test_pinprompt_caller PRIVATE ${PROJECT_SOURCE_DIR}/pinprompt)
add_dependencies(test_pinprompt_caller pinprompt)

# The same caller on a real X display under a window manager, with a screenshot of each
# dialog; there the user's answers go through the X server (xdotool). A bare display can hide
# windows that paint nothing or take no input. The dialogs need no OpenGL; leaving it out
# keeps the software GL driver (and its leaks) out of the process.
set(PINPROMPT_SHOTS ${CMAKE_CURRENT_BINARY_DIR}/pinprompt-shots)
file(MAKE_DIRECTORY ${PINPROMPT_SHOTS})
add_test(NAME test_pinprompt_caller_xvfb
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/with-openbox.sh $<TARGET_FILE:test_pinprompt_caller>)
set_tests_properties(test_pinprompt_caller_xvfb PROPERTIES
  TIMEOUT 240
  ENVIRONMENT "PINPROMPT_LIB=$<TARGET_FILE:pinprompt>;PINPROMPT_SHOTS=${PINPROMPT_SHOTS};QT_QPA_PLATFORM=xcb;QT_XCB_GL_INTEGRATION=none;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/xdg-runtime;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
