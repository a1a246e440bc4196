/*
 * Internal helpers of the SM2 code: field elements as fixed-width byte strings and the
 * signer identity digest Z of any point of a curve.
 */
#ifndef MVSM2_SM2_CURVE_LOCAL_H
#define MVSM2_SM2_CURVE_LOCAL_H

#include <openssl/bn.h>
#include <openssl/ec.h>

/*
 * Writes v as width bytes, big-endian, left-padded with zero bytes. A zero value (its
 * big-endian form has no bytes) and one longer than width are refused: 0.
 */
static inline int sm2_put_field(unsigned char *out, const BIGNUM *v, int width)
{
    int n = BN_num_bytes(v);

    if (n <= 0 || n > width)
        return 0;
    return BN_bn2binpad(v, out, width) == width;
}

/*
 * Z of the public point pub on group for the given signer ID, with the curve's a, b and
 * generator: CalZforSm2sign over them with the field length of the curve's degree.
 * Uses ctx for its scratch numbers. 1 when Z was written to out (32 bytes), 0 otherwise.
 */
int sm2_z_of_point(const EC_GROUP *group, const EC_POINT *pub, const void *id, int idlen,
                   unsigned char *out, BN_CTX *ctx);

#endif
