# Device-event thread, key management and format pages, page wiring.
if(NOT TARGET mvclient_core)
  return()
endif()

# Scripted token libraries for the device-event thread: one whose wait the test
# drives, one without a wait function.
add_library(mv_fakewait SHARED ${CMAKE_CURRENT_LIST_DIR}/fakewait.c)
target_compile_definitions(mv_fakewait PRIVATE FAKEWAIT_HAS_WAIT)
target_link_libraries(mv_fakewait PRIVATE Threads::Threads)
add_library(mv_fakenowait SHARED ${CMAKE_CURRENT_LIST_DIR}/fakewait.c)
target_link_libraries(mv_fakenowait PRIVATE Threads::Threads)

mv_add_test(NAME test_mainworker QT
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_mainworker.cpp
  LIBS mvclient_core ${CMAKE_DL_LIBS}
  TIMEOUT 120)
target_compile_definitions(test_mainworker PRIVATE
  FAKEWAIT_LIB="$<TARGET_FILE:mv_fakewait>" FAKENOWAIT_LIB="$<TARGET_FILE:mv_fakenowait>")
add_dependencies(test_mainworker mv_fakewait mv_fakenowait)
