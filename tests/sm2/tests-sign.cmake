# SM3, SM3 key derivation, SM2 signature and Z digest, diagnostic log.
find_package(GTest REQUIRED)

set(mv_sm2_vector_dir ${CMAKE_CURRENT_LIST_DIR}/vectors)

# The signature tests, the fuzz target and the benchmark check our SM2 against the
# crypto library's own SM2. They link only the signature code and what it uses, so
# that the key methods registered by the full extension cannot route the library's
# side of the comparison back into our code.
add_library(mvsm2_sign_core STATIC
  ${PROJECT_SOURCE_DIR}/sm2/sm3.c
  ${PROJECT_SOURCE_DIR}/sm2/kdf.c
  ${PROJECT_SOURCE_DIR}/sm2/sm2_sign.c
  ${PROJECT_SOURCE_DIR}/sm2/sm2_z.c)
mv_project_target(mvsm2_sign_core)
set_source_files_properties(${PROJECT_SOURCE_DIR}/sm2/sm3.c PROPERTIES COMPILE_OPTIONS -funroll-loops)
target_include_directories(mvsm2_sign_core PUBLIC ${PROJECT_SOURCE_DIR}/sm2/include)
target_link_libraries(mvsm2_sign_core PUBLIC mv_crypto_static)
if(MV_FUZZ)
  target_compile_options(mvsm2_sign_core PRIVATE -fsanitize=fuzzer-no-link)
endif()

if(TARGET mvsm2)
  mv_add_test(NAME sm2_sm3_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm3.cpp
    LIBS mvsm2 GTest::gtest_main)
  target_compile_definitions(sm2_sm3_test PRIVATE MV_SM2_VECTOR_DIR="${mv_sm2_vector_dir}")

  mv_add_test(NAME sm2_kdf_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_kdf.cpp
    LIBS mvsm2 GTest::gtest_main TIMEOUT 600)

  # The log switch is decided once per process: each case runs in a process of its own.
  mv_add_test(NAME sm2_log_off_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_gmt_log.cpp
    LIBS mvsm2 GTest::gtest_main ARGS --gtest_filter=LogOff.*:BigNumberPrint.*)
  mv_add_test(NAME sm2_log_on_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_gmt_log.cpp
    LIBS mvsm2 GTest::gtest_main ARGS --gtest_filter=LogOn.*)
  mv_add_test(NAME sm2_log_race_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_gmt_log.cpp
    LIBS mvsm2 GTest::gtest_main ARGS --gtest_filter=LogRace.*)
endif()

mv_add_test(NAME sm2_sign_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_sign.cpp
  LIBS mvsm2_sign_core GTest::gtest_main)
target_compile_definitions(sm2_sign_test PRIVATE MV_SM2_VECTOR_DIR="${mv_sm2_vector_dir}")

mv_add_fuzz(NAME sm2_verify_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_sm2_verify.c
  LIBS mvsm2_sign_core CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus-sm2-verify SECONDS 25)

if(MV_BENCH)
  find_package(benchmark REQUIRED)
  mv_add_test(NAME sm2_sign_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench/bench_sm3_sm2.cpp
    LIBS mvsm2_sign_core benchmark::benchmark
    ARGS --benchmark_min_time=0.05 LABELS bench)
endif()
