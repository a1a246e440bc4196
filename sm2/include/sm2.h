/*
 * SM2 digital signature (GM/T 0003.2) over a caller-computed digest, and the signer
 * identity digest Z. Keys are EC keys on the SM2 curve; signatures are DER
 * SEQUENCE {INTEGER r, INTEGER s}, as ECDSA signatures.
 */
#ifndef MVSM2_SM2_H
#define MVSM2_SM2_H

#include <stddef.h>

#include <openssl/bn.h>
#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest signer ID accepted by the Z digest, in bytes. */
#define SM2_MAX_ID_LENGTH 512

/* Reasons that the signing set-up records in the SM2 error library. */
#define SM2_R_MISSING_KEY_OR_GROUP 100

/*
 * Draws a per-signature secret k in [1, n-1] and x1 = x(kG) mod n. On success the values
 * that *kp and *x1p held are cleared and freed and they receive the new ones (the caller
 * owns them); on failure they are left as they were. ctx may be null. 1 or 0.
 */
int sm2_sign_setup(const EC_KEY *eckey, BN_CTX *ctx, BIGNUM **kp, BIGNUM **x1p);
int SM2_sign_setup(const EC_KEY *eckey, BN_CTX *ctx, BIGNUM **kp, BIGNUM **x1p);

/*
 * Signs digest e. k and x1 are used when both are given, else drawn. Returns a new
 * signature (ECDSA_SIG_free), or null.
 */
ECDSA_SIG *sm2_do_sign(const unsigned char *dgst, size_t dlen, const BIGNUM *k,
                       const BIGNUM *x1, const EC_KEY *eckey);
/* 1 valid, 0 invalid, -1 error. */
int sm2_do_verify(const unsigned char *dgst, size_t dlen, const ECDSA_SIG *sig,
                  const EC_KEY *eckey);

/*
 * Signs and writes the DER signature to sig (sized with ECDSA_size), its length to
 * *siglen (0 on failure). type is not used. 1 or 0.
 */
int SM2_sign_ex(int type, const unsigned char *dgst, size_t dlen, unsigned char *sig,
                unsigned int *siglen, const BIGNUM *k, const BIGNUM *x1, const EC_KEY *eckey);
int SM2_sign(int type, const unsigned char *dgst, size_t dlen, unsigned char *sig,
             unsigned int *siglen, const EC_KEY *eckey);
/*
 * Verifies a DER signature of siglen bytes. A signature that decodes but is not in its
 * DER encoding (long-form lengths, bytes after the SEQUENCE) is invalid. 1 valid,
 * 0 invalid, -1 error (also for bytes that do not decode).
 */
int SM2_verify(int type, const unsigned char *dgst, size_t dlen, const unsigned char *sig,
               size_t siglen, const EC_KEY *eckey);

/* Writes the low 16 bits of value big-endian to out; returns 1. */
int SetWordInStr(unsigned char *out, int value);
/*
 * Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA), each number right-aligned in
 * fieldlen bytes. ID length 1..512. 1 when Z was written to out (32 bytes), 0 if refused.
 */
int CalZforSm2sign(const void *id, int idlen, const BIGNUM *a, const BIGNUM *b,
                   const BIGNUM *xG, const BIGNUM *yG, const BIGNUM *xA, const BIGNUM *yA,
                   int fieldlen, unsigned char *out);
/* Z of the key's curve and public point. 1 or 0. */
int SM2_Z(const EC_KEY *eckey, const void *id, int idlen, unsigned char *out);

#ifdef __cplusplus
}
#endif

#endif
