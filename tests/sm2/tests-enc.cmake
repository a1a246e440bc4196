# SM2 encryption (raw and GM/T 2012 cipher text) and SM2 key exchange.
find_package(GTest REQUIRED)

# As with the signature tests: the library's own SM2 is the oracle, so these programs
# link only the encryption and exchange code and what it uses, never the key methods
# that would route the library's SM2 keys back into our code.
add_library(mvsm2_enc_core STATIC
  ${PROJECT_SOURCE_DIR}/sm2/sm3.c
  ${PROJECT_SOURCE_DIR}/sm2/kdf.c
  ${PROJECT_SOURCE_DIR}/sm2/gmt_log.c
  ${PROJECT_SOURCE_DIR}/sm2/sm2_z.c
  ${PROJECT_SOURCE_DIR}/sm2/sm2_sign.c
  ${PROJECT_SOURCE_DIR}/sm2/sm2_enc.c
  ${PROJECT_SOURCE_DIR}/sm2/sm2_cipher_gmt.c
  ${PROJECT_SOURCE_DIR}/sm2/sm2_exch.c)
mv_project_target(mvsm2_enc_core)
target_include_directories(mvsm2_enc_core PUBLIC ${PROJECT_SOURCE_DIR}/sm2/include)
target_link_libraries(mvsm2_enc_core PUBLIC mv_crypto_static)
if(MV_FUZZ)
  target_compile_options(mvsm2_enc_core PRIVATE -fsanitize=fuzzer-no-link)
endif()

mv_add_test(NAME sm2_enc_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_enc.cpp
  LIBS mvsm2_enc_core GTest::gtest_main)
target_compile_definitions(sm2_enc_test PRIVATE MV_SM2_VECTOR_DIR="${CMAKE_CURRENT_LIST_DIR}/vectors")

mv_add_test(NAME sm2_cipher_gmt_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_cipher_gmt.cpp
  LIBS mvsm2_enc_core GTest::gtest)

mv_add_test(NAME sm2_exch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_exch.cpp
  LIBS mvsm2_enc_core GTest::gtest_main)
target_compile_definitions(sm2_exch_test PRIVATE MV_SM2_VECTOR_DIR="${CMAKE_CURRENT_LIST_DIR}/vectors")

mv_add_fuzz(NAME sm2_dec_gmt_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_sm2_dec_gmt.c
  LIBS mvsm2_enc_core CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus-sm2-dec-gmt SECONDS 25)
mv_add_fuzz(NAME sm2_dec_stream_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_sm2_dec_stream.c
  LIBS mvsm2_enc_core CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus-sm2-dec-stream SECONDS 25)

if(MV_BENCH)
  find_package(benchmark REQUIRED)
  mv_add_test(NAME sm2_enc_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench/bench_sm2_enc.cpp
    LIBS mvsm2_enc_core benchmark::benchmark
    ARGS --benchmark_min_time=0.05 LABELS bench)
endif()
