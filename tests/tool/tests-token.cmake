# Token access layer and certificate summaries: the wrappers against scripted libraries
# and against the token stand-in; the summaries over certificates made with OpenSSL; a
# fuzz target over the certificate extractor.

set(fakeskf_dir ${CMAKE_CURRENT_BINARY_DIR}/fakeskf)
foreach(lib fakeskf_library fakeskf_empty)
  add_library(${lib} SHARED ${CMAKE_CURRENT_LIST_DIR}/${lib}.cpp)
  mv_project_target(${lib})
  target_include_directories(${lib} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(${lib} PRIVATE mvskf_interface)
  set_target_properties(${lib} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${fakeskf_dir}
    CXX_VISIBILITY_PRESET hidden)
endforeach()

mv_add_test(NAME tool_utils_token_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_utils_token.cpp ${CMAKE_CURRENT_LIST_DIR}/fakeskf_state.h
  LIBS mvclient_core
  ENV MV_FAKESKF_DIR=${fakeskf_dir}
  TIMEOUT 180)
target_include_directories(tool_utils_token_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(tool_utils_token_test fakeskf_library fakeskf_empty SKFAPI mvtoken)

mv_add_test(NAME tool_utils_cert_test QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_utils_cert.cpp
  LIBS mvclient_core)

# The certificate extractor is built with coverage for the fuzz target, which links it
# through mvclient_core.
if(MV_FUZZ)
  set_property(SOURCE ${PROJECT_SOURCE_DIR}/tool/utils_cert.cpp DIRECTORY ${PROJECT_SOURCE_DIR}/tool
    APPEND PROPERTY COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
endif()
mv_add_fuzz(NAME tool_cert_info_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_cert_info.cpp
  LIBS mvclient_core
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz-corpus/cert-info
  SECONDS 25)
