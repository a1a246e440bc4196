# Device-event thread, key management and format pages, page wiring.

# Scripted token libraries for the device-event thread: one whose wait the test
# drives, one without a wait function.
foreach(lib mv_fakewait mv_fakenowait)
  add_library(${lib} SHARED ${CMAKE_CURRENT_LIST_DIR}/fakewait.cpp)
  mv_project_target(${lib})
  target_link_libraries(${lib} PRIVATE mvskf_interface Threads::Threads)
  set_target_properties(${lib} PROPERTIES CXX_VISIBILITY_PRESET hidden)
endforeach()
target_compile_definitions(mv_fakewait PRIVATE FAKEWAIT_HAS_WAIT)

mv_add_test(NAME tool_mainworker_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainworker.cpp
  LIBS mvclient_core ${CMAKE_DL_LIBS}
  TIMEOUT 120)
target_compile_definitions(tool_mainworker_test PRIVATE
  FAKEWAIT_LIB="$<TARGET_FILE:mv_fakewait>" FAKENOWAIT_LIB="$<TARGET_FILE:mv_fakenowait>")
add_dependencies(tool_mainworker_test mv_fakewait mv_fakenowait)

# Page tests run beside the program, so that the pages find the stand-in token
# library where they bind it (bin/../mvukeytool/libSKFAPI.so).
function(mv_add_page_test name source)
  mv_add_test(NAME ${name} QT
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${source}
    LIBS mvclient_core ${CMAKE_DL_LIBS}
    TIMEOUT 180)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MV_BIN_DIR})
  add_dependencies(${name} SKFAPI mvtoken)
endfunction()

mv_add_page_test(tool_keymanage_test test_keymanage.cpp)
mv_add_page_test(tool_format_test test_format.cpp)
mv_add_page_test(tool_pagewiring_test test_pagewiring.cpp)

# Device events end to end, on a virtual display of its own with a tray host.
add_executable(tool_deviceevents_test ${CMAKE_CURRENT_LIST_DIR}/test_deviceevents.cpp)
mv_project_target(tool_deviceevents_test)
target_link_libraries(tool_deviceevents_test PRIVATE mvclient_core Qt5::Test Qt5::Widgets)
target_include_directories(tool_deviceevents_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
set_target_properties(tool_deviceevents_test PROPERTIES AUTOMOC ON RUNTIME_OUTPUT_DIRECTORY ${MV_BIN_DIR})
add_dependencies(tool_deviceevents_test SKFAPI mvtoken)
mv_add_script_test(NAME tool_deviceevents_test XVFB TIMEOUT 180
  SCRIPT ${CMAKE_CURRENT_LIST_DIR}/with_tray.sh ARGS $<TARGET_FILE:tool_deviceevents_test>)

# The real program on a virtual display: demo token, insertion and removal from outside,
# quitting from the tray while the device-event thread waits.
mv_add_script_test(NAME tool_program_device_events_test XVFB TIMEOUT 180
  SCRIPT ${CMAKE_CURRENT_LIST_DIR}/xvfb_program_events.sh
  ARGS $<TARGET_FILE:MirvaleClient> $<TARGET_FILE:mvtoken> ${CMAKE_CURRENT_BINARY_DIR}/program-events)

# One key page load against a bare token walk with OpenSSL decoding.
if(MV_BENCH)
  find_package(benchmark REQUIRED)
  mv_add_test(NAME tool_keypage_bench QT
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_keypage.cpp
    LIBS mvclient_core benchmark::benchmark ${CMAKE_DL_LIBS}
    ARGS --benchmark_min_time=0.05
    TIMEOUT 300 LABELS bench)
  set_target_properties(tool_keypage_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${MV_BIN_DIR})
  add_dependencies(tool_keypage_bench SKFAPI mvtoken)
endif()

# The real program run from copies of its layout under an ASCII and a Chinese folder name.
mv_add_script_test(NAME tool_program_folders_test XVFB TIMEOUT 180
  SCRIPT ${CMAKE_CURRENT_LIST_DIR}/xvfb_program_folders.sh
  ARGS ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/program-folders)

# The pages over a token library that lacks one PIN function: the scripted library, built
# without it as libSKFAPI.so of a layout of its own, with the test program in its bin/.
foreach(missing SKF_VerifyPIN SKF_ChangePIN)
  string(TOLOWER ${missing} layout)
  string(TOUPPER ${missing} define)
  string(REPLACE "SKF_" "" define ${define})
  set(layout_dir ${CMAKE_CURRENT_BINARY_DIR}/without-${layout})
  add_library(fakeskf_${layout} SHARED ${CMAKE_CURRENT_LIST_DIR}/fakeskf_library.cpp)
  mv_project_target(fakeskf_${layout})
  target_include_directories(fakeskf_${layout} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(fakeskf_${layout} PRIVATE mvskf_interface)
  target_compile_definitions(fakeskf_${layout} PRIVATE FAKESKF_WITHOUT_${define})
  set_target_properties(fakeskf_${layout} PROPERTIES
    OUTPUT_NAME SKFAPI
    LIBRARY_OUTPUT_DIRECTORY ${layout_dir}/mvukeytool
    CXX_VISIBILITY_PRESET hidden)

  set(test tool_pages_without_${layout}_test)
  mv_add_test(NAME ${test} QT
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_pages_missing_pin.cpp ${CMAKE_CURRENT_LIST_DIR}/fakeskf_state.h
    LIBS mvclient_core ${CMAKE_DL_LIBS}
    TIMEOUT 120)
  target_include_directories(${test} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(${test} PRIVATE MISSING_FUNCTION="${missing}")
  set_target_properties(${test} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${layout_dir}/bin)
  add_dependencies(${test} fakeskf_${layout})
endforeach()
