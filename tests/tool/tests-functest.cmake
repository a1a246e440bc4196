# Token function tests (Utils::EncryptData ... EccVerifyData).

# A scripted token library, whole and once without each function the tests call.
set(functest_fake_dir ${CMAKE_CURRENT_BINARY_DIR}/fakecrypto)
set(functest_calls
  SKF_SetSymmKey SKF_EncryptInit SKF_Encrypt SKF_DecryptInit SKF_Decrypt SKF_RSASignData
  SKF_ExportPublicKey SKF_RSAVerify SKF_DigestInit SKF_Digest SKF_ECCSignData SKF_ECCVerify)
function(mv_functest_fake name)
  add_library(${name} SHARED ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fakecrypto.cpp)
  mv_project_target(${name})
  target_link_libraries(${name} PRIVATE mvskf_interface)
  set_target_properties(${name} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${functest_fake_dir} CXX_VISIBILITY_PRESET hidden)
endfunction()
mv_functest_fake(mv_fakecrypto)
set(functest_fakes mv_fakecrypto)
foreach(fn ${functest_calls})
  mv_functest_fake(mv_fakecrypto_no_${fn})
  target_compile_definitions(mv_fakecrypto_no_${fn} PRIVATE OMIT_${fn})
  list(APPEND functest_fakes mv_fakecrypto_no_${fn})
endforeach()

# Checks SM2 signatures with the system's own OpenSSL, apart from the program's crypto library.
add_executable(functest_sm2oracle ${CMAKE_CURRENT_LIST_DIR}/sm2oracle.cpp)
mv_project_target(functest_sm2oracle)
target_link_libraries(functest_sm2oracle PRIVATE OpenSSL::Crypto)

mv_add_test(NAME tool_functest_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_functest.cpp
  LIBS mvclient_core ${CMAKE_DL_LIBS}
  TIMEOUT 180)
target_compile_definitions(tool_functest_test PRIVATE
  FAKECRYPTO_DIR="${functest_fake_dir}" SM2ORACLE="$<TARGET_FILE:functest_sm2oracle>")
add_dependencies(tool_functest_test ${functest_fakes} functest_sm2oracle SKFAPI mvtoken)
