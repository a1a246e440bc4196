/*
 * SM2 cipher text in the ASN.1 form of GM/T 0009-2012:
 *
 *   SM2_CIPHERT_2012 ::= SEQUENCE { x INTEGER, y INTEGER, hash OCTET STRING, ct OCTET STRING }
 *
 * x, y are the coordinates of C1, hash is C3 (32 bytes) and ct is C2. SM2_ENC_GMT and
 * SM2_DEC_GMT convert around the raw one-shot calls of sm2_enc.h and follow their size
 * rules (null out asks for the size; *outlen is the capacity on entry, the count on return).
 */
#ifndef MVSM2_SM2_CIPHER_GMT_H
#define MVSM2_SM2_CIPHER_GMT_H

#include <stddef.h>

#include <openssl/asn1.h>
#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SM2_CIPHERT_2012_st {
    ASN1_INTEGER *x;
    ASN1_INTEGER *y;
    ASN1_OCTET_STRING *hash;
    ASN1_OCTET_STRING *ct;
} SM2_CIPHERT_2012;

/* SM2_CIPHERT_2012_new, _free, d2i_SM2_CIPHERT_2012, i2d_SM2_CIPHERT_2012 and the item
 * SM2_CIPHERT_2012_it. */
DECLARE_ASN1_FUNCTIONS(SM2_CIPHERT_2012)

/* The longest message SM2_ENC_GMT encrypts. */
#define SM2_GMT_MAX_MESSAGE 0xFFFF

/* Encrypts a message (1 to 65,535 bytes) into the DER of SM2_CIPHERT_2012. The size
 * query answers the larger of inlen + 109 and the longest encoding of inlen bytes.
 * The last argument is not used. */
int SM2_ENC_GMT(const EC_KEY *key, const unsigned char *in, size_t inlen,
                unsigned char *out, size_t *outlen, int unused);
/* Decrypts the DER of SM2_CIPHERT_2012 (more than 104 bytes). The size query answers
 * inlen. The last argument is not used. */
int SM2_DEC_GMT(const EC_KEY *key, const unsigned char *in, size_t inlen,
                unsigned char *out, size_t *outlen, int unused);

#ifdef __cplusplus
}
#endif

#endif
