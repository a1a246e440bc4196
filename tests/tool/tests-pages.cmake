# Device-event thread, key management and format pages, page wiring.
if(NOT TARGET mvclient_core)
  return()
endif()

# Scripted token libraries for the device-event thread: one whose wait the test
# drives, one without a wait function.
add_library(mv_fakewait SHARED ${CMAKE_CURRENT_LIST_DIR}/fakewait.c)
target_compile_definitions(mv_fakewait PRIVATE FAKEWAIT_HAS_WAIT)
target_link_libraries(mv_fakewait PRIVATE Threads::Threads)
add_library(mv_fakenowait SHARED ${CMAKE_CURRENT_LIST_DIR}/fakewait.c)
target_link_libraries(mv_fakenowait PRIVATE Threads::Threads)

mv_add_test(NAME test_mainworker QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainworker.cpp
  LIBS mvclient_core ${CMAKE_DL_LIBS}
  TIMEOUT 120)
target_compile_definitions(test_mainworker PRIVATE
  FAKEWAIT_LIB="$<TARGET_FILE:mv_fakewait>" FAKENOWAIT_LIB="$<TARGET_FILE:mv_fakenowait>")
add_dependencies(test_mainworker mv_fakewait mv_fakenowait)

# Page tests run beside the program, so that the pages find the stand-in token
# library where they bind it (bin/../mvukeytool/libSKFAPI.so).
function(mv_add_page_test name)
  mv_add_test(NAME ${name} QT
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp ${ARGN}
    LIBS mvclient_core ${CMAKE_DL_LIBS}
    TIMEOUT 180)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MV_BIN_DIR})
  add_dependencies(${name} SKFAPI mvtoken)
endfunction()

mv_add_page_test(test_keymanage)
mv_add_page_test(test_format)
mv_add_page_test(test_pagewiring)

# Device events end to end, on a virtual display of its own with a tray host.
add_executable(test_deviceevents ${CMAKE_CURRENT_LIST_DIR}/test_deviceevents.cpp)
mv_project_target(test_deviceevents)
target_link_libraries(test_deviceevents PRIVATE mvclient_core Qt5::Test Qt5::Widgets)
target_include_directories(test_deviceevents PRIVATE ${CMAKE_CURRENT_LIST_DIR})
set_target_properties(test_deviceevents PROPERTIES AUTOMOC ON RUNTIME_OUTPUT_DIRECTORY ${MV_BIN_DIR})
add_dependencies(test_deviceevents SKFAPI mvtoken)
add_test(NAME test_deviceevents
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/with_tray.sh $<TARGET_FILE:test_deviceevents>)
set_tests_properties(test_deviceevents PROPERTIES TIMEOUT 180 ENVIRONMENT
  "QT_QPA_PLATFORM=xcb;QT_XCB_GL_INTEGRATION=none;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/xdg-runtime;MV_BIN_DIR=${MV_BIN_DIR};LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;ASAN_OPTIONS=detect_leaks=1")

# The real program on a virtual display: demo token, insertion and removal from outside,
# quitting from the tray while the device-event thread waits.
if(TARGET MirvaleClient)
  add_test(NAME test_program_device_events
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/xvfb_program_events.sh
      $<TARGET_FILE:MirvaleClient> $<TARGET_FILE:mvtoken> ${CMAKE_CURRENT_BINARY_DIR}/program-events)
  set_tests_properties(test_program_device_events PROPERTIES TIMEOUT 180 ENVIRONMENT
    "QT_XCB_GL_INTEGRATION=none;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;ASAN_OPTIONS=detect_leaks=1")
endif()

# One key page load against a bare token walk with OpenSSL decoding.
if(MV_BENCH)
  find_package(benchmark REQUIRED)
  mv_add_test(NAME bench_keypage QT
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_keypage.cpp
    LIBS mvclient_core benchmark::benchmark ${CMAKE_DL_LIBS}
    ARGS --benchmark_min_time=0.05
    TIMEOUT 300 LABELS bench)
  set_target_properties(bench_keypage PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MV_BIN_DIR})
  add_dependencies(bench_keypage SKFAPI mvtoken)
endif()
