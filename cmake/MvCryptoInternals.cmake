# mv_require_crypto_internals(<file> <symbol>...)
# <file> depends on functions of the statically linked crypto library that the library
# keeps for itself (not part of its interface, present in Debian's OpenSSL 3.0). Fails the
# configuration, naming the library and <file>, when MV_LIBCRYPTO_STATIC lacks one of them.
function(mv_require_crypto_internals file)
  foreach(sym ${ARGN})
    set(found MV_LIBCRYPTO_HAS_${sym})
    if("${${found}}" STREQUAL "${MV_LIBCRYPTO_STATIC}")
      continue()
    endif()
    execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${MV_LIBCRYPTO_STATIC}
      OUTPUT_VARIABLE symbols ERROR_QUIET)
    if(NOT symbols MATCHES "\n[0-9a-f]+ T ${sym}\n")
      unset(${found} CACHE)
      message(FATAL_ERROR
        "${file} depends on ${sym}, an internal function of OpenSSL 3.0's static libcrypto, "
        "but ${MV_LIBCRYPTO_STATIC} (OpenSSL ${OPENSSL_VERSION}) does not define it. "
        "The SM2 extension is built for the OpenSSL 3.0 static library of Debian 12 "
        "(libssl-dev); point MV_LIBCRYPTO_STATIC at such a libcrypto.a.")
    endif()
    message(STATUS "libcrypto internal ${sym} (for ${file}): found")
    set(${found} ${MV_LIBCRYPTO_STATIC} CACHE INTERNAL "")
  endforeach()
endfunction()
