# The stand-in's cryptographic calls (mvtoken/skf_crypto.cpp).
find_package(GTest REQUIRED)

mv_add_test(NAME mvtoken_skf_crypto_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_skf_crypto.cpp
  LIBS mvskf_interface GTest::gtest_main ${CMAKE_DL_LIBS}
  TIMEOUT 180)
add_dependencies(mvtoken_skf_crypto_test SKFAPI mvtoken)

# Arbitrary keys, signatures and cipher texts for the verifications and the decryption.
mv_add_fuzz(NAME mvtoken_skf_verify_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_skf_verify.cpp ${PROJECT_SOURCE_DIR}/mvtoken/skf_crypto.cpp
  LIBS mvtoken_model
  SECONDS 20)
