/*
 * Internal interface between the SM2 key methods, the library hooks and the set-up.
 */
#ifndef MVSM2_SM2_METH_LOCAL_H
#define MVSM2_SM2_METH_LOCAL_H

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

/* The GM/T 0009 default signer ID used by item signing and verification. */
#define SM2_DEFAULT_ID "1234567812345678"
#define SM2_DEFAULT_ID_LENGTH 16

/* Control of SM2 key contexts for the item hooks: 2 when the signing or verifying
 * context has digested Z of the ID that EVP_PKEY_CTX_set1_id set (the library calls the
 * method's digest_custom at the first update after EVP_DigestSignInit or
 * EVP_DigestVerifyInit), 1 when an ID is set but not digested, 0 without ID. Contexts of
 * other methods answer it with an error. */
#define SM2_PKEY_CTRL_Z_STATE (EVP_PKEY_ALG_CTRL + 0x5D2)

/* Declares a changed library function: the library's original, reached as __real_NAME,
 * and its replacement __wrap_NAME (the program links with -Wl,--wrap=NAME). */
#define SM2_CHANGED(ret, name, params) ret __real_##name params; ret __wrap_##name params;

/* Builders of the two key methods that the set-up registers for NID_sm2. */
EVP_PKEY_ASN1_METHOD *eckey_sm2_asn1_meth_new(void);
EVP_PKEY_METHOD *ec_sm2_pkey_meth_new(void);

/* Slots of the SM2 ASN.1 method that the hooks call directly. */
int eckey_sm2_pub_decode(EVP_PKEY *pkey, const X509_PUBKEY *pubkey);
int eckey_sm2_priv_decode(EVP_PKEY *pkey, const PKCS8_PRIV_KEY_INFO *p8);

/* The EC key inside an EC or SM2 key object, whether the program assigned it or the
 * library decoded it into a provider key; borrowed, null for other key types. */
EC_KEY *sm2_pkey_get0_eckey(const EVP_PKEY *pkey);

/* Stores key in pkey under exactly the given type (EVP_PKEY_EC or NID_sm2). The
 * library's own assign retypes keys by their curve; this keeps the caller's type. The
 * result is that of the library's assign: 1 when key is non-null and stored. */
int sm2_pkey_assign_typed(EVP_PKEY *pkey, int type, EC_KEY *key);

/* The key type that an algorithm identifier of a public or private key selects: NID_sm2
 * for the SM2 algorithm objects or the SM2 curve as parameter, else the algorithm's. */
int sm2_algor_key_type(const X509_ALGOR *alg);

/* Number of the object 1.2.156.10197.1.301.1 created by the set-up (NID_undef before). */
int sm2_nid_sm2_1(void);

/* The library's legacy key behind a provider key (a cached copy owned by pkey). */
void *evp_pkey_get_legacy(EVP_PKEY *pk);

#endif
