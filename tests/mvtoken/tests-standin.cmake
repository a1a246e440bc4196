# The token stand-in: store encoding and crash safety, the SKF calls bound by name, device
# events across processes and threads, and the mvtoken tool.
find_package(GTest REQUIRED)

set(standin_deps SKFAPI mvtoken)

mv_add_test(NAME mvtoken_store_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_store.cpp
  LIBS mvtoken_model GTest::gtest_main
  TIMEOUT 240)

mv_add_test(NAME mvtoken_skf_calls_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_skf_calls.cpp
  LIBS mvtoken_model GTest::gtest_main ${CMAKE_DL_LIBS}
  TIMEOUT 240)
add_dependencies(mvtoken_skf_calls_test ${standin_deps})

mv_add_test(NAME mvtoken_skf_events_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_skf_events.cpp
  LIBS mvskf_interface GTest::gtest Threads::Threads ${CMAKE_DL_LIBS}
  TIMEOUT 180)
add_dependencies(mvtoken_skf_events_test ${standin_deps})

mv_add_test(NAME mvtoken_cli_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mvtoken_cli.cpp
  LIBS mvtoken_model GTest::gtest_main
  TIMEOUT 240)
add_dependencies(mvtoken_cli_test ${standin_deps})

# The store file's parser over arbitrary text, and its parse-write-parse round trip.
mv_add_fuzz(NAME mvtoken_store_parse_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_store_parse.cpp
  LIBS mvtoken_model
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz-corpus/store-parse
  SECONDS 15)

if(MV_BENCH)
  find_package(benchmark REQUIRED)
  mv_add_test(NAME mvtoken_standin_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_standin.cpp
    LIBS mvskf_interface benchmark::benchmark ${CMAKE_DL_LIBS}
    ARGS --benchmark_min_time=0.05 LABELS bench)
  add_dependencies(mvtoken_standin_bench ${standin_deps})
endif()
