/*
 * GM/T 0009-2012 ASN.1 cipher text around the raw SM2 encryption.
 */
#include "sm2_cipher_gmt.h"

#include <limits.h>
#include <string.h>

#include <openssl/asn1t.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>

#include "gmt_log.h"
#include "sm2_enc.h"

ASN1_SEQUENCE(SM2_CIPHERT_2012) = {
    ASN1_SIMPLE(SM2_CIPHERT_2012, x, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_CIPHERT_2012, y, ASN1_INTEGER),
    ASN1_SIMPLE(SM2_CIPHERT_2012, hash, ASN1_OCTET_STRING),
    ASN1_SIMPLE(SM2_CIPHERT_2012, ct, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(SM2_CIPHERT_2012)

IMPLEMENT_ASN1_FUNCTIONS(SM2_CIPHERT_2012)

/* Inputs of this length or shorter cannot be decrypted from the ASN.1 form. */
#define SM2_GMT_MIN_INPUT 104
/* The raw form is at most this much longer than the ASN.1 one. */
#define SM2_GMT_RAW_SLACK 512

/* Size of a DER length field for m content bytes. */
static size_t der_length_size(size_t m)
{
    size_t n = 1;

    if (m < 128)
        return 1;
    for (; m > 0; m >>= 8)
        n++;
    return n;
}

/* The longest encoding of an inlen-byte message: both INTEGERs at 33 content bytes
 * (2 + 33 each), the hash (2 + 32) and ct (1 + L(inlen) + inlen), in one SEQUENCE. */
static size_t sm2_gmt_max_encoding(size_t inlen)
{
    size_t c = 105 + der_length_size(inlen) + inlen;

    return 1 + der_length_size(c) + c;
}

/* Reads an INTEGER as a 32-byte big-endian coordinate (its magnitude, left-padded). */
static int sm2_gmt_get_coord(unsigned char out[SM2_COORD_LENGTH], const ASN1_INTEGER *ai,
                             BIGNUM *bn)
{
    if (ASN1_INTEGER_to_BN(ai, bn) == NULL)
        return 0;
    BN_set_negative(bn, 0);
    if (BN_num_bytes(bn) > SM2_COORD_LENGTH)
        return 0;
    return BN_bn2binpad(bn, out, SM2_COORD_LENGTH) == SM2_COORD_LENGTH;
}

int SM2_ENC_GMT(const EC_KEY *key, const unsigned char *in, size_t inlen,
                unsigned char *out, size_t *outlen, int unused)
{
    SM2_CIPHERT_2012 *ct = NULL;
    unsigned char *raw = NULL, *p;
    BIGNUM *bn = NULL;
    size_t rawlen, need, largest;
    int len, ret = 0;

    (void)unused;
    if (key == NULL || in == NULL || outlen == NULL)
        return 0;
    if (out == NULL) {
        if (inlen > SIZE_MAX / 2 || !SM2_ENC(key, in, inlen, NULL, &need))
            return 0;
        need += 12;
        largest = sm2_gmt_max_encoding(inlen);
        *outlen = need > largest ? need : largest;
        return 1;
    }
    if (inlen > SM2_GMT_MAX_MESSAGE)
        return 0;

    rawlen = inlen + SM2_GMT_RAW_SLACK;
    raw = OPENSSL_malloc(rawlen);
    ct = SM2_CIPHERT_2012_new();
    bn = BN_new();
    if (raw == NULL || ct == NULL || bn == NULL)
        goto err;
    if (!SM2_ENC(key, in, inlen, raw, &rawlen))
        goto err;

    /* raw: 0x04 || x1 || y1 || C2 || C3 */
    if (BN_bin2bn(raw + 1, SM2_COORD_LENGTH, bn) == NULL
        || BN_to_ASN1_INTEGER(bn, ct->x) == NULL
        || BN_bin2bn(raw + 1 + SM2_COORD_LENGTH, SM2_COORD_LENGTH, bn) == NULL
        || BN_to_ASN1_INTEGER(bn, ct->y) == NULL
        || !ASN1_OCTET_STRING_set(ct->ct, raw + SM2_C1_LENGTH, (int)inlen)
        || !ASN1_OCTET_STRING_set(ct->hash, raw + rawlen - SM2_C3_LENGTH, SM2_C3_LENGTH))
        goto err;

    len = i2d_SM2_CIPHERT_2012(ct, NULL);
    if (len <= 0 || (size_t)len > *outlen)
        goto err;
    p = out;
    if (i2d_SM2_CIPHERT_2012(ct, &p) != len)
        goto err;
    *outlen = (size_t)len;
    ret = 1;

err:
    OPENSSL_free(raw);
    BN_free(bn);
    SM2_CIPHERT_2012_free(ct);
    return ret;
}

int SM2_DEC_GMT(const EC_KEY *key, const unsigned char *in, size_t inlen,
                unsigned char *out, size_t *outlen, int unused)
{
    SM2_CIPHERT_2012 *ct = NULL;
    const unsigned char *p = in;
    unsigned char *raw = NULL;
    BIGNUM *bn = NULL;
    size_t c2len, rawlen;
    int ret = 0;

    (void)unused;
    if (inlen <= SM2_GMT_MIN_INPUT || in == NULL || outlen == NULL)
        return 0;
    if (out == NULL) {
        *outlen = inlen;
        return 1;
    }
    if (inlen > LONG_MAX)
        return 0;

    /* refusals are logged, not queued: drop what the decoder queues */
    ERR_set_mark();
    ct = d2i_SM2_CIPHERT_2012(NULL, &p, (long)inlen);
    ERR_pop_to_mark();
    if (ct == NULL) {
        gmt_log("d2i_SM2_CIPHERT_2012 failed");
        goto err;
    }
    if (ASN1_STRING_length(ct->hash) != SM2_C3_LENGTH) {
        gmt_log("hashmac length is not 32");
        goto err;
    }

    /* rebuild 0x04 || x1 || y1 || C2 || C3 */
    c2len = (size_t)ASN1_STRING_length(ct->ct);
    rawlen = SM2_CIPHER_OVERHEAD + c2len;
    bn = BN_new();
    raw = OPENSSL_zalloc(rawlen);
    if (bn == NULL || raw == NULL)
        goto err;
    raw[0] = 0x04;
    if (!sm2_gmt_get_coord(raw + 1, ct->x, bn)
        || !sm2_gmt_get_coord(raw + 1 + SM2_COORD_LENGTH, ct->y, bn))
        goto err;
    if (c2len > 0)
        memcpy(raw + SM2_C1_LENGTH, ASN1_STRING_get0_data(ct->ct), c2len);
    memcpy(raw + SM2_C1_LENGTH + c2len, ASN1_STRING_get0_data(ct->hash), SM2_C3_LENGTH);

    ret = SM2_DEC(key, raw, rawlen, out, outlen);

err:
    OPENSSL_free(raw);
    BN_free(bn);
    SM2_CIPHERT_2012_free(ct);
    return ret;
}
