# Coverage instrumentation of the extension for the fuzz targets that link it.
if(MV_FUZZ)
  target_compile_options(mvsm2_algorithms PRIVATE -fsanitize=fuzzer-no-link)
  target_compile_options(mvsm2 PRIVATE -fsanitize=fuzzer-no-link)
endif()
