# SM2 key type inside the crypto library: set-up, key methods, hooks. These programs link
# the whole extension with its link options, as MirvaleClient does; the outside peer is
# the openssl command.
find_package(GTest REQUIRED)

foreach(t setup pmeth ameth hooks)
  mv_add_test(NAME sm2_meth_${t}_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_${t}.cpp
    LIBS mvsm2 GTest::gtest_main)
endforeach()
# Looks at the program itself.
mv_add_test(NAME sm2_meth_link_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_link.cpp
  LIBS GTest::gtest_main)
add_dependencies(sm2_meth_link_test MirvaleClient)

mv_add_fuzz(NAME sm2_key_decode_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_sm2_key_decode.c
  LIBS mvsm2 CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus-sm2-key-decode SECONDS 25)

if(MV_BENCH)
  find_package(benchmark REQUIRED)
  mv_add_test(NAME sm2_meth_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench/bench_sm2_meth.cpp
    LIBS mvsm2 benchmark::benchmark ARGS --benchmark_min_time=0.05 LABELS bench)
endif()
