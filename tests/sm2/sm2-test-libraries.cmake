# Helpers of the SM2 test fragments.
# The programs that check our SM2 against the crypto library's own SM2 link only
# mvsm2_algorithms, never the key methods of the full extension (mvsm2), which would route
# the library's side of the comparison back into our code.

# Known-answer vectors of the standards, "name = hex" lines.
set(mv_sm2_vector_dir ${CMAKE_CURRENT_LIST_DIR}/vectors)

# mv_sm2_bench(<name> <source> <library>): a benchmark of the plain build, registered as a
# ctest that runs briefly so that CI sees it run.
function(mv_sm2_bench name source library)
  if(MV_BENCH)
    find_package(benchmark REQUIRED)
    mv_add_test(NAME ${name} SOURCES ${source} LIBS ${library} benchmark::benchmark
      ARGS --benchmark_min_time=0.05 LABELS bench)
  endif()
endfunction()
