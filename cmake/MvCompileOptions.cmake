# Warnings are errors in the project's own code. Call mv_project_target(tgt) on every
# target the project builds from its own sources. Deprecation warnings stay on: only the
# SM2 extension, which is written against the crypto library's EC_KEY and method
# interface, switches them off for itself (mv_legacy_crypto_api).
set(MV_WARNINGS -Wall -Wextra -Werror)

if(MV_SANITIZE)
  set(MV_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${MV_SAN_FLAGS})
  add_link_options(${MV_SAN_FLAGS})
endif()

function(mv_project_target tgt)
  target_compile_options(${tgt} PRIVATE ${MV_WARNINGS})
endfunction()

# mv_legacy_crypto_api(tgt): tgt is written against the EC_KEY and key method interface
# that the crypto library deprecates in 3.0.
function(mv_legacy_crypto_api tgt)
  target_compile_definitions(${tgt} PRIVATE OPENSSL_API_COMPAT=0x10100000L)
endfunction()

# The crypto library linked statically, as MirvaleClient carries it.
add_library(mv_crypto_static INTERFACE)
target_include_directories(mv_crypto_static INTERFACE ${OPENSSL_INCLUDE_DIR})
target_link_libraries(mv_crypto_static INTERFACE ${MV_LIBCRYPTO_STATIC} Threads::Threads ${CMAKE_DL_LIBS})
