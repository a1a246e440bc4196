/*
 * SM2 key accessors beside the library's EC key accessors. An SM2 key object (type
 * NID_sm2) holds an EC_KEY exactly as an EC key object (EVP_PKEY_EC) does.
 */
#ifndef MVSM2_SM2_KEYS_H
#define MVSM2_SM2_KEYS_H

#include <openssl/ec.h>
#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Gives key to pkey as an SM2 key (pkey owns it from now); 1 when key is non-null. */
int EVP_PKEY_assign_EC_SM2_KEY(EVP_PKEY *pkey, EC_KEY *key);
/* As assign, but pkey takes a reference of its own. 1 or 0. */
int EVP_PKEY_set1_EC_SM2_KEY(EVP_PKEY *pkey, EC_KEY *key);
/* The EC key of an EC or SM2 key object with one more reference; null for other types. */
EC_KEY *EVP_PKEY_get1_EC_SM2_KEY(EVP_PKEY *pkey);

#ifdef __cplusplus
}
#endif

#endif
