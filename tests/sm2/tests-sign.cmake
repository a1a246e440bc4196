# SM3, SM3 key derivation, SM2 signature and Z digest, diagnostic log.
find_package(GTest REQUIRED)

mv_add_test(NAME sm2_sm3_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm3.cpp
  LIBS mvsm2 GTest::gtest_main)

mv_add_test(NAME sm2_kdf_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_kdf.cpp
  LIBS mvsm2 GTest::gtest_main TIMEOUT 600)

# The log switch is decided once per process: each case runs in a process of its own.
mv_add_test(NAME sm2_log_off_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_gmt_log.cpp
  LIBS mvsm2 GTest::gtest_main ARGS --gtest_filter=LogOff.*:BigNumberPrint.*)
mv_add_test(NAME sm2_log_on_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_gmt_log.cpp
  LIBS mvsm2 GTest::gtest_main ARGS --gtest_filter=LogOn.*)
mv_add_test(NAME sm2_log_race_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_gmt_log.cpp
  LIBS mvsm2 GTest::gtest_main ARGS --gtest_filter=LogRace.*)

mv_add_test(NAME sm2_sign_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sm2_sign.cpp
  LIBS mvsm2_algorithms GTest::gtest_main)

mv_add_fuzz(NAME sm2_verify_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_sm2_verify.c
  LIBS mvsm2_algorithms CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus-sm2-verify SECONDS 25)

mv_sm2_bench(sm2_sign_bench ${CMAKE_CURRENT_LIST_DIR}/bench/bench_sm3_sm2.cpp mvsm2_algorithms)
