# SM2 encryption (raw and GM/T 2012 cipher text) and SM2 key exchange.
find_package(GTest REQUIRED)

mv_add_test(NAME sm2_enc_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_enc.cpp
  LIBS mvsm2_algorithms GTest::gtest_main)

mv_add_test(NAME sm2_cipher_gmt_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_cipher_gmt.cpp
  LIBS mvsm2_algorithms GTest::gtest)

mv_add_test(NAME sm2_exch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_exch.cpp
  LIBS mvsm2_algorithms GTest::gtest_main)

mv_add_fuzz(NAME sm2_dec_gmt_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_sm2_dec_gmt.c
  LIBS mvsm2_algorithms CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus-sm2-dec-gmt SECONDS 25)
mv_add_fuzz(NAME sm2_dec_stream_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_sm2_dec_stream.c
  LIBS mvsm2_algorithms CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus-sm2-dec-stream SECONDS 25)

mv_sm2_bench(sm2_enc_bench ${CMAKE_CURRENT_LIST_DIR}/bench/bench_sm2_enc.cpp mvsm2_algorithms)
