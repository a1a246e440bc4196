# SM2 key type inside the crypto library: set-up, key methods, accessors and hooks.
list(APPEND MVSM2_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/sm2_setup.c
  ${CMAKE_CURRENT_LIST_DIR}/sm2_keys.c
  ${CMAKE_CURRENT_LIST_DIR}/ec_sm2_ameth.c
  ${CMAKE_CURRENT_LIST_DIR}/ec_sm2_pmeth.c
  ${CMAKE_CURRENT_LIST_DIR}/sm2_hooks.c
  ${CMAKE_CURRENT_LIST_DIR}/sm2_item_hooks.c)
