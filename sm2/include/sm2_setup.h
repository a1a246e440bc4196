/*
 * Set-up of the SM2 key type inside the crypto library: the objects, signature triples
 * and key methods are made known to the library before its first lookup, without the
 * program calling anything. The functions below are the module's public set-up calls.
 */
#ifndef MVSM2_SM2_SETUP_H
#define MVSM2_SM2_SETUP_H

#include <openssl/bn.h>
#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the objects 1.2.156.10197.1.301 and .1.501 are registered (by this call, an
 * earlier one, or because the library knows them already); 0 on failure. */
int CRYPTO_sm2_init(void);

/* A new EC key on the SM2 curve with the named-curve flag; with generate != 0 it holds a
 * fresh key pair. Null only when no key object can be made. */
EC_KEY *SM2_KEY_get(int generate);

/* Installs the private value d and its public point d*G in key. 1 or 0. */
int SM2_set_priv_public_key(EC_KEY *key, const BIGNUM *d);

/* The SM2 curve built from the module's own GM/T 0003.5 curve record (explicit
 * parameters, no curve name). The caller frees it. */
EC_GROUP *sm2_gmt_curve_new(void);

/* Runs the module set-up once (thread-safe); every entry point of the module calls it.
 * Returns 1 when the set-up succeeded. */
int sm2_setup_ensure(void);

#ifdef __cplusplus
}
#endif

#endif
