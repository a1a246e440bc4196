# The library functions that carry the SM2 changes. With the statically linked library,
# --wrap redirects the program's calls and the library's calls between its own object
# files to __wrap_NAME (sm2_hooks.c, sm2_item_hooks.c). --undefined pulls those objects
# (and with them the set-up that runs at load time) into every program that links mvsm2,
# also before any of the program's own objects refers to them.
set(MVSM2_WRAPPED
  X509_get_pubkey X509_PUBKEY_get X509_PUBKEY_get0
  EVP_PKEY_cmp EVP_PKEY_eq
  EVP_PKEY_get1_EC_KEY EVP_PKEY_get0_EC_KEY evp_pkey_get0_EC_KEY_int
  EVP_PKCS82PKEY EVP_PKCS82PKEY_ex
  ASN1_item_sign ASN1_item_sign_ex ASN1_item_sign_ctx
  ASN1_item_verify ASN1_item_verify_ex)
foreach(fn ${MVSM2_WRAPPED})
  target_link_options(mvsm2 INTERFACE "LINKER:--wrap=${fn}" "LINKER:--undefined=__wrap_${fn}")
endforeach()
