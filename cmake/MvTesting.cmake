# mv_add_test(NAME name SOURCES ... [LIBS ...] [ENV VAR=value ...] [ARGS ...]
#             [TIMEOUT seconds] [LABELS ...] [QT])
# Builds one test program and registers it with CTest. QT adds Qt Test, runs on the
# offscreen platform and gives each test a private runtime directory.
function(mv_add_test)
  cmake_parse_arguments(T "QT" "NAME;TIMEOUT" "SOURCES;LIBS;ENV;ARGS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  mv_project_target(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  set(env
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "MV_BIN_DIR=${MV_BIN_DIR}"
    "MV_TOKEN_DIR=${MV_TOKEN_DIR}")
  if(T_QT)
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test Qt5::Widgets)
    set_target_properties(${T_NAME} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/xdg-runtime)
    file(CHMOD ${CMAKE_BINARY_DIR}/xdg-runtime DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    list(APPEND env "QT_QPA_PLATFORM=offscreen" "XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/xdg-runtime")
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env};${T_ENV}" TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
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
  set_tests_properties(${F_NAME} PROPERTIES
    ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp;ASAN_OPTIONS=detect_leaks=1"
    TIMEOUT 300 LABELS fuzz)
endfunction()
