# pinprompt: the class-level dialog tests, and the outside caller that loads the library with
# dlopen, on the offscreen platform and once under Xvfb with screenshots.

mv_add_test(NAME pinprompt_dialogs_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_pinprompt_dialogs.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dialogending.h ${CMAKE_CURRENT_LIST_DIR}/dialogending.cpp
  LIBS pinprompt
  TIMEOUT 120)

mv_add_test(NAME pinprompt_caller_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_pinprompt_caller.cpp
          ${CMAKE_CURRENT_LIST_DIR}/promptdriver.h ${CMAKE_CURRENT_LIST_DIR}/promptdriver.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dialogending.h ${CMAKE_CURRENT_LIST_DIR}/dialogending.cpp
  LIBS ${CMAKE_DL_LIBS} Threads::Threads
  ENV "PINPROMPT_LIB=$<TARGET_FILE:pinprompt>"
  TIMEOUT 180)
# The caller sees only the public header; the library itself is loaded at run time.
target_include_directories(pinprompt_caller_test PRIVATE ${PROJECT_SOURCE_DIR}/pinprompt)
add_dependencies(pinprompt_caller_test pinprompt)

# The same caller on a real X display under a window manager, with a screenshot of each
# dialog; there the user's answers go through the X server (xdotool). A bare display can hide
# windows that paint nothing or take no input. The dialogs need no OpenGL; leaving it out
# keeps the software GL driver (and its leaks) out of the process.
set(PINPROMPT_SHOTS ${CMAKE_CURRENT_BINARY_DIR}/pinprompt-shots)
file(MAKE_DIRECTORY ${PINPROMPT_SHOTS})
mv_add_script_test(NAME pinprompt_caller_xvfb_test XVFB TIMEOUT 240
  SCRIPT ${PROJECT_SOURCE_DIR}/scripts/with-openbox.sh ARGS $<TARGET_FILE:pinprompt_caller_test>
  ENV PINPROMPT_LIB=$<TARGET_FILE:pinprompt> PINPROMPT_SHOTS=${PINPROMPT_SHOTS})

# A caller without a toolkit that ends during a prompt, forks, exits from a thread of its own,
# or has no platform to show one on; one process per case.
add_executable(pinprompt_outside_caller ${CMAKE_CURRENT_LIST_DIR}/outside_caller.cpp)
mv_project_target(pinprompt_outside_caller)
target_include_directories(pinprompt_outside_caller PRIVATE ${PROJECT_SOURCE_DIR}/pinprompt)
target_link_libraries(pinprompt_outside_caller PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
add_dependencies(pinprompt_outside_caller pinprompt)

mv_add_script_test(NAME pinprompt_exit_xvfb_test XVFB TIMEOUT 600
  SCRIPT ${PROJECT_SOURCE_DIR}/scripts/with-openbox.sh
  ARGS bash ${CMAKE_CURRENT_LIST_DIR}/outside_caller_checks.sh exit $<TARGET_FILE:pinprompt_outside_caller>
  ENV PINPROMPT_LIB=$<TARGET_FILE:pinprompt>)
mv_add_script_test(NAME pinprompt_host_shapes_xvfb_test XVFB TIMEOUT 300
  SCRIPT ${PROJECT_SOURCE_DIR}/scripts/with-openbox.sh
  ARGS bash ${CMAKE_CURRENT_LIST_DIR}/outside_caller_checks.sh host-shapes $<TARGET_FILE:pinprompt_outside_caller>
  ENV PINPROMPT_LIB=$<TARGET_FILE:pinprompt>)
mv_add_script_test(NAME pinprompt_no_platform_test TIMEOUT 120
  SCRIPT ${CMAKE_CURRENT_LIST_DIR}/outside_caller_checks.sh
  ARGS no-platform $<TARGET_FILE:pinprompt_outside_caller>
  ENV PINPROMPT_LIB=$<TARGET_FILE:pinprompt> XDG_RUNTIME_DIR=${MV_XDG_RUNTIME_DIR})
