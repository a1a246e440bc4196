# Tests are named <area>_<subject>_<kind>: kind is test, bench or fuzz.

# The environment of every test: sanitizer options (leaks are failures), and where the
# build tree keeps the program and the token library.
set(MV_TEST_ENV
  "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
  "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0"
  "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
  "MV_BIN_DIR=${MV_BIN_DIR}"
  "MV_TOKEN_DIR=${MV_TOKEN_DIR}")
# Qt programs under test get a private runtime directory, on the offscreen platform or on
# a virtual X display. The programs draw no OpenGL: without the GL integration Qt loads no
# Mesa driver, whose allocations the leak checker cannot name once the driver is unloaded.
set(MV_XDG_RUNTIME_DIR ${CMAKE_BINARY_DIR}/xdg-runtime)
file(MAKE_DIRECTORY ${MV_XDG_RUNTIME_DIR})
file(CHMOD ${MV_XDG_RUNTIME_DIR} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(MV_TEST_QT_ENV "QT_QPA_PLATFORM=offscreen" "XDG_RUNTIME_DIR=${MV_XDG_RUNTIME_DIR}")
set(MV_TEST_XVFB_ENV "QT_QPA_PLATFORM=xcb" "QT_XCB_GL_INTEGRATION=none" "XDG_RUNTIME_DIR=${MV_XDG_RUNTIME_DIR}")

# mv_test_properties(name timeout labels env...): registers the environment, the time
# limit (default 300 s) and the labels of test name.
function(mv_test_properties name timeout labels)
  if(NOT timeout)
    set(timeout 300)
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${MV_TEST_ENV};${ARGN}" TIMEOUT ${timeout})
  if(labels)
    set_tests_properties(${name} PROPERTIES LABELS "${labels}")
  endif()
endfunction()

# mv_add_test(NAME name SOURCES ... [LIBS ...] [ENV VAR=value ...] [ARGS ...]
#             [TIMEOUT seconds] [LABELS ...] [QT])
# Builds one test program and registers it with CTest. QT adds Qt Test and runs it on the
# offscreen platform.
function(mv_add_test)
  cmake_parse_arguments(T "QT" "NAME;TIMEOUT" "SOURCES;LIBS;ENV;ARGS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  mv_project_target(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  set(env ${T_ENV})
  if(T_QT)
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test Qt5::Widgets)
    set_target_properties(${T_NAME} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
    list(PREPEND env ${MV_TEST_QT_ENV})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
  mv_test_properties(${T_NAME} "${T_TIMEOUT}" "${T_LABELS}" ${env})
endfunction()

# mv_add_script_test(NAME name SCRIPT file [ARGS ...] [ENV VAR=value ...]
#                    [TIMEOUT seconds] [XVFB])
# Registers a bash script as a test. XVFB: the script runs Qt programs on a virtual display
# (scripts/with-xvfb.sh or a script that starts one).
function(mv_add_script_test)
  cmake_parse_arguments(S "XVFB" "NAME;SCRIPT;TIMEOUT" "ARGS;ENV" ${ARGN})
  add_test(NAME ${S_NAME} COMMAND bash ${S_SCRIPT} ${S_ARGS})
  set(env ${S_ENV})
  if(S_XVFB)
    list(PREPEND env ${MV_TEST_XVFB_ENV})
  endif()
  mv_test_properties(${S_NAME} "${S_TIMEOUT}" "" ${env})
endfunction()

# mv_add_fuzz(NAME name SOURCES ... [LIBS ...] [CORPUS dir] [SECONDS n])
# A libFuzzer target, built only with MV_FUZZ, run for a bounded time as a test.
function(mv_add_fuzz)
  cmake_parse_arguments(F "" "NAME;CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT MV_FUZZ)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 30)
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  mv_project_target(${F_NAME})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  set(workdir ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}-corpus)
  file(MAKE_DIRECTORY ${workdir})
  set(corpus ${workdir})
  if(F_CORPUS)
    list(APPEND corpus ${F_CORPUS})
  endif()
  add_test(NAME ${F_NAME}
    COMMAND ${F_NAME} -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 ${corpus})
  mv_test_properties(${F_NAME} 300 fuzz)
endfunction()
