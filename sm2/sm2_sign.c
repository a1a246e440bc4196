/*
 * SM2 digital signature, GM/T 0003.2.
 */
#include "sm2.h"

#include <limits.h>
#include <string.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/rand.h>

/*
 * The digest as an integer below 2^bits(n): only its first bytes are used when it is
 * longer than the order, shifted right when the order's bit length is not whole bytes.
 */
static int sm2_digest_to_bn(BIGNUM *e, const unsigned char *dgst, size_t dlen,
                            const BIGNUM *order)
{
    int i = BN_num_bits(order);

    if (8 * dlen > (size_t)i)
        dlen = ((size_t)i + 7) / 8;
    if (dlen > INT_MAX || BN_bin2bn(dgst, (int)dlen, e) == NULL)
        return 0;
    if (8 * dlen > (size_t)i && !BN_rshift(e, e, 8 - (i & 7)))
        return 0;
    return 1;
}

int sm2_sign_setup(const EC_KEY *eckey, BN_CTX *ctx_in, BIGNUM **kp, BIGNUM **x1p)
{
    const EC_GROUP *group;
    BN_CTX *ctx = NULL;
    BIGNUM *k = NULL, *x1 = NULL, *order;
    EC_POINT *pt = NULL;
    int ret = 0;

    if (eckey == NULL || (group = EC_KEY_get0_group(eckey)) == NULL) {
        ERR_raise(ERR_LIB_SM2, SM2_R_MISSING_KEY_OR_GROUP);
        return 0;
    }
    ctx = ctx_in;
    if (ctx == NULL && (ctx = BN_CTX_new()) == NULL) {
        ERR_raise(ERR_LIB_SM2, ERR_R_MALLOC_FAILURE);
        return 0;
    }
    BN_CTX_start(ctx);
    order = BN_CTX_get(ctx);
    k = BN_new();
    x1 = BN_new();
    pt = EC_POINT_new(group);
    if (order == NULL || k == NULL || x1 == NULL || pt == NULL)
        goto err;
    if (!EC_GROUP_get_order(group, order, ctx))
        goto err;
    BN_set_flags(k, BN_FLG_CONSTTIME);

    do {
        do {
            if (!BN_rand_range(k, order))
                goto err;
        } while (BN_is_zero(k));
        if (!EC_POINT_mul(group, pt, k, NULL, NULL, ctx)
            || !EC_POINT_get_affine_coordinates(group, pt, x1, NULL, ctx)
            || !BN_nnmod(x1, x1, order, ctx))
            goto err;
    } while (BN_is_zero(x1));

    BN_clear_free(*kp);
    BN_clear_free(*x1p);
    *kp = k;
    *x1p = x1;
    k = NULL;
    x1 = NULL;
    ret = 1;

err:
    BN_clear_free(k);
    BN_clear_free(x1);
    EC_POINT_clear_free(pt);
    BN_CTX_end(ctx);
    if (ctx != ctx_in)
        BN_CTX_free(ctx);
    return ret;
}

int SM2_sign_setup(const EC_KEY *eckey, BN_CTX *ctx, BIGNUM **kp, BIGNUM **x1p)
{
    return sm2_sign_setup(eckey, ctx, kp, x1p);
}

ECDSA_SIG *sm2_do_sign(const unsigned char *dgst, size_t dlen, const BIGNUM *in_k,
                       const BIGNUM *in_x1, const EC_KEY *eckey)
{
    const EC_GROUP *group;
    const BIGNUM *d;
    const BIGNUM *k;
    BN_CTX *ctx = NULL;
    BIGNUM *order, *e, *tmp;
    BIGNUM *x1 = NULL, *drawn_k = NULL, *inv = NULL, *r = NULL, *s = NULL;
    ECDSA_SIG *sig = NULL;
    int given = in_k != NULL && in_x1 != NULL;

    if (eckey == NULL || (group = EC_KEY_get0_group(eckey)) == NULL
        || (d = EC_KEY_get0_private_key(eckey)) == NULL)
        return NULL;

    if ((ctx = BN_CTX_new()) == NULL)
        return NULL;
    BN_CTX_start(ctx);
    order = BN_CTX_get(ctx);
    e = BN_CTX_get(ctx);
    tmp = BN_CTX_get(ctx);
    inv = BN_new();
    r = BN_new();
    s = BN_new();
    if (tmp == NULL || inv == NULL || r == NULL || s == NULL)
        goto err;
    if (!EC_GROUP_get_order(group, order, ctx)
        || !sm2_digest_to_bn(e, dgst, dlen, order))
        goto err;

    /* (1 + d)^-1 mod n; there is none for d = n - 1, and such a key cannot sign. */
    BN_set_flags(tmp, BN_FLG_CONSTTIME);
    if (!BN_copy(tmp, d) || !BN_add_word(tmp, 1))
        goto err;
    ERR_set_mark();
    if (BN_mod_inverse(inv, tmp, order, ctx) == NULL) {
        ERR_pop_to_mark();
        goto err;
    }
    ERR_clear_last_mark();

    if (given) {
        if ((x1 = BN_dup(in_x1)) == NULL)
            goto err;
        k = in_k;
    }

    for (;;) {
        if (!given) {
            if (!sm2_sign_setup(eckey, ctx, &drawn_k, &x1))
                goto err;
            k = drawn_k;
        }
        /* r = (e + x1) mod n */
        if (!BN_mod_add(r, e, x1, order, ctx))
            goto err;
        if (BN_is_zero(r))
            goto reject;
        /* r + k = n */
        if (!BN_add(tmp, r, k))
            goto err;
        if (BN_cmp(tmp, order) == 0)
            goto reject;
        /* s = (1 + d)^-1 * (k - r*d) mod n */
        if (!BN_mod_mul(tmp, r, d, order, ctx)
            || !BN_mod_sub(s, k, tmp, order, ctx)
            || !BN_mod_mul(s, s, inv, order, ctx))
            goto err;
        if (!BN_is_zero(s))
            break;
    reject:
        if (given)
            goto err;
    }

    if ((sig = ECDSA_SIG_new()) == NULL || !ECDSA_SIG_set0(sig, r, s)) {
        ECDSA_SIG_free(sig);
        sig = NULL;
        goto err;
    }
    r = NULL;
    s = NULL;

err:
    BN_clear(tmp);
    BN_clear_free(x1);
    BN_clear_free(drawn_k);
    BN_clear_free(inv);
    BN_clear_free(r);
    BN_clear_free(s);
    BN_CTX_end(ctx);
    BN_CTX_free(ctx);
    return sig;
}

int sm2_do_verify(const unsigned char *dgst, size_t dlen, const ECDSA_SIG *sig,
                  const EC_KEY *eckey)
{
    const EC_GROUP *group;
    const EC_POINT *pub;
    const BIGNUM *r, *s;
    BN_CTX *ctx = NULL;
    BIGNUM *order, *t, *x1, *e;
    EC_POINT *pt = NULL;
    int ret = -1;

    if (eckey == NULL || sig == NULL || (group = EC_KEY_get0_group(eckey)) == NULL
        || (pub = EC_KEY_get0_public_key(eckey)) == NULL)
        return -1;
    ECDSA_SIG_get0(sig, &r, &s);
    if (r == NULL || s == NULL)
        return -1;

    if ((ctx = BN_CTX_new()) == NULL)
        return -1;
    BN_CTX_start(ctx);
    order = BN_CTX_get(ctx);
    t = BN_CTX_get(ctx);
    x1 = BN_CTX_get(ctx);
    e = BN_CTX_get(ctx);
    if (e == NULL || (pt = EC_POINT_new(group)) == NULL)
        goto err;
    if (!EC_GROUP_get_order(group, order, ctx))
        goto err;

    if (BN_is_zero(r) || BN_is_negative(r) || BN_ucmp(r, order) >= 0
        || BN_is_zero(s) || BN_is_negative(s) || BN_ucmp(s, order) >= 0) {
        ret = 0;
        goto err;
    }
    /* t = (r + s) mod n */
    if (!BN_mod_add_quick(t, r, s, order))
        goto err;
    if (BN_is_zero(t)) {
        ret = 0;
        goto err;
    }
    /* (x1, y1) = sG + tP; R = (e + x1) mod n */
    if (!EC_POINT_mul(group, pt, s, pub, t, ctx)
        || !EC_POINT_get_affine_coordinates(group, pt, x1, NULL, ctx))
        goto err;
    if (!sm2_digest_to_bn(e, dgst, dlen, order)
        || !BN_mod_add(t, e, x1, order, ctx))
        goto err;
    ret = BN_cmp(t, r) == 0 ? 1 : 0;

err:
    EC_POINT_free(pt);
    BN_CTX_end(ctx);
    BN_CTX_free(ctx);
    return ret;
}

int SM2_sign_ex(int type, const unsigned char *dgst, size_t dlen, unsigned char *sig,
                unsigned int *siglen, const BIGNUM *k, const BIGNUM *x1, const EC_KEY *eckey)
{
    ECDSA_SIG *s;
    int len;

    (void)type;
    if (dlen <= INT_MAX)
        RAND_seed(dgst, (int)dlen);
    s = sm2_do_sign(dgst, dlen, k, x1, eckey);
    if (s == NULL) {
        *siglen = 0;
        return 0;
    }
    /* Without a buffer the encoder would allocate one that nobody frees: answer the
     * length of this signature instead. */
    len = sig != NULL ? i2d_ECDSA_SIG(s, &sig) : i2d_ECDSA_SIG(s, NULL);
    ECDSA_SIG_free(s);
    if (len <= 0) {
        *siglen = 0;
        return 0;
    }
    *siglen = (unsigned int)len;
    return 1;
}

int SM2_sign(int type, const unsigned char *dgst, size_t dlen, unsigned char *sig,
             unsigned int *siglen, const EC_KEY *eckey)
{
    return SM2_sign_ex(type, dgst, dlen, sig, siglen, NULL, NULL, eckey);
}

int SM2_verify(int type, const unsigned char *dgst, size_t dlen, const unsigned char *sigbuf,
               size_t siglen, const EC_KEY *eckey)
{
    ECDSA_SIG *s;
    const unsigned char *p = sigbuf;
    unsigned char *der = NULL;
    int derlen = 0;
    int ret = -1;

    (void)type;
    if ((s = ECDSA_SIG_new()) == NULL)
        return -1;
    if (sigbuf == NULL || siglen > LONG_MAX || d2i_ECDSA_SIG(&s, &p, (long)siglen) == NULL)
        goto err;
    /*
     * The decoder also takes forms that are not DER (long-form lengths, bytes after the
     * SEQUENCE). A signature is valid in its one DER encoding only: otherwise one
     * signature would have many byte forms that all verify.
     */
    if ((derlen = i2d_ECDSA_SIG(s, &der)) <= 0) {
        derlen = 0;
        goto err;
    }
    if ((size_t)derlen != siglen || memcmp(sigbuf, der, siglen) != 0) {
        ret = 0;
        goto err;
    }
    ret = sm2_do_verify(dgst, dlen, s, eckey);

err:
    OPENSSL_free(der);
    ECDSA_SIG_free(s);
    return ret;
}
