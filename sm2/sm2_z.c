/*
 * Signer identity digest Z of GM/T 0003.2.
 */
#include "sm2.h"

#include <string.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>

#include "sm2_curve_local.h"
#include "sm3.h"

/* Work area of the Z message: ENTL, ID and six field-length numbers must fit it. */
#define SM2_Z_MESSAGE_MAX 1024

int SetWordInStr(unsigned char *out, int value)
{
    out[0] = (unsigned char)((value >> 8) & 0xff);
    out[1] = (unsigned char)(value & 0xff);
    return 1;
}

int CalZforSm2sign(const void *id, int idlen, const BIGNUM *a, const BIGNUM *b,
                   const BIGNUM *xG, const BIGNUM *yG, const BIGNUM *xA, const BIGNUM *yA,
                   int fieldlen, unsigned char *out)
{
    unsigned char msg[SM2_Z_MESSAGE_MAX];
    const BIGNUM *nums[6];
    size_t len, pos;
    int i, m;

    if (id == NULL || idlen == 0 || (unsigned int)idlen > SM2_MAX_ID_LENGTH || a == NULL
        || b == NULL || xG == NULL || yG == NULL || xA == NULL || yA == NULL || out == NULL)
        return 0;
    /* The message must fit the work area and every number its field. */
    if (fieldlen <= 0 || (size_t)fieldlen > (SM2_Z_MESSAGE_MAX - 2 - (size_t)idlen) / 6)
        return 0;
    nums[0] = a;
    nums[1] = b;
    nums[2] = xG;
    nums[3] = yG;
    nums[4] = xA;
    nums[5] = yA;
    for (i = 0; i < 6; i++)
        if (BN_is_negative(nums[i]) || BN_num_bytes(nums[i]) > fieldlen)
            return 0;

    memset(msg, 0, sizeof(msg));
    SetWordInStr(msg, idlen * 8);
    memcpy(msg + 2, id, (size_t)idlen);
    pos = 2 + (size_t)idlen;
    for (i = 0; i < 6; i++) {
        m = BN_num_bytes(nums[i]);
        BN_bn2bin(nums[i], msg + pos + (size_t)(fieldlen - m));
        pos += (size_t)fieldlen;
    }
    len = pos;
    SM3(msg, len, out);
    OPENSSL_cleanse(msg, len);
    return 1;
}

int sm2_z_of_point(const EC_GROUP *group, const EC_POINT *pub, const void *id, int idlen,
                   unsigned char *out, BN_CTX *ctx)
{
    const EC_POINT *gen;
    BIGNUM *p, *a, *b, *xG, *yG, *xA, *yA;
    int ret = 0;

    BN_CTX_start(ctx);
    p = BN_CTX_get(ctx);
    a = BN_CTX_get(ctx);
    b = BN_CTX_get(ctx);
    xG = BN_CTX_get(ctx);
    yG = BN_CTX_get(ctx);
    xA = BN_CTX_get(ctx);
    yA = BN_CTX_get(ctx);
    if (yA == NULL || (gen = EC_GROUP_get0_generator(group)) == NULL)
        goto err;
    if (!EC_POINT_get_affine_coordinates(group, pub, xA, yA, ctx)
        || !EC_POINT_get_affine_coordinates(group, gen, xG, yG, ctx)
        || !EC_GROUP_get_curve(group, p, a, b, ctx))
        goto err;
    ret = CalZforSm2sign(id, idlen, a, b, xG, yG, xA, yA,
                         (EC_GROUP_get_degree(group) + 7) / 8, out);

err:
    BN_CTX_end(ctx);
    return ret;
}

int SM2_Z(const EC_KEY *eckey, const void *id, int idlen, unsigned char *out)
{
    const EC_GROUP *group;
    const EC_POINT *pub;
    BN_CTX *ctx;
    int ret;

    if (eckey == NULL || out == NULL || (group = EC_KEY_get0_group(eckey)) == NULL
        || (pub = EC_KEY_get0_public_key(eckey)) == NULL)
        return 0;
    if ((ctx = BN_CTX_new()) == NULL)
        return 0;
    ret = sm2_z_of_point(group, pub, id, idlen, out, ctx);
    BN_CTX_free(ctx);
    return ret;
}
