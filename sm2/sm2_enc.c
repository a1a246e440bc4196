/*
 * SM2 encryption and decryption, raw cipher text C1 || C2 || C3, streaming and one-shot.
 */
#include "sm2_enc.h"

#include <string.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include "kdf.h"
#include "sm2_curve_local.h"

_Static_assert(offsetof(SM2_CRYPT_CTX, y2) == offsetof(SM2_CRYPT_CTX, x2) + SM2_COORD_LENGTH,
               "x2 || y2 must be one run of 64 bytes");

#define SM2_BLOCK 32

/* Whether the context holds a running hash: both directions hash x2 before any block, so
 * a context without one failed its init or has been finished (x2 and y2 are gone). */
static int sm2_ctx_live(const SM2_CRYPT_CTX *ctx)
{
    return ctx->sm3_ctx.total != 0;
}

/* Draws of k that SM2_ENC makes before it gives up on a message whose key stream keeps
 * coming out all zero (for a 1-byte message each draw has 1 chance in 256). */
#define SM2_KEYSTREAM_DRAWS 16

/* Whether the first n bytes of ks are all zero, in constant time. */
static int sm2_all_zero(const unsigned char *ks, size_t n)
{
    unsigned char acc = 0;
    size_t i;

    for (i = 0; i < n; i++)
        acc |= ks[i];
    return acc == 0;
}

/* The next 32 bytes of key stream from x2 || y2, of which the caller uses n. The key
 * stream of the whole message must not be all zero: a first block whose n bytes are zero
 * is refused (for a message shorter than a block those n bytes are the whole key stream),
 * and so is any later block of 32 zero bytes. A counter that has gone round (the message
 * would reuse key stream) or a context that is not live (the key stream of zero bytes
 * would expose the message) fails as well. */
static int sm2_next_keystream(SM2_CRYPT_CTX *ctx, unsigned char ks[SM2_BLOCK], size_t n)
{
    int first;

    if (ctx->counter == 0 || !sm2_ctx_live(ctx))
        return 0;
    first = ctx->counter == 1;
    x9_63_kdf(&ctx->counter, ctx->x2, 2 * SM2_COORD_LENGTH, SM2_BLOCK, ks);
    return !sm2_all_zero(ks, first ? n : SM2_BLOCK);
}

/* Whether a message of len bytes, 0 < len < 32, can go with the k that init drew: its
 * key stream, the first len bytes of the first block, is not all zero. The context's
 * counter is left as it was. */
static int sm2_short_keystream_usable(const SM2_CRYPT_CTX *ctx, size_t len)
{
    unsigned char ks[SM2_BLOCK];
    uint32_t counter = 1;
    int ok;

    x9_63_kdf(&counter, ctx->x2, 2 * SM2_COORD_LENGTH, SM2_BLOCK, ks);
    ok = !sm2_all_zero(ks, len);
    OPENSSL_cleanse(ks, sizeof(ks));
    return ok;
}

static void sm2_xor_block(unsigned char *out, const unsigned char *a, const unsigned char *b,
                          size_t n)
{
    size_t i;

    for (i = 0; i < n; i++)
        out[i] = a[i] ^ b[i];
}

/* Makes a started scratch context and a fresh point of the key's group. */
static int sm2_scratch(const EC_GROUP *group, BN_CTX **bnctx, EC_POINT **pt)
{
    if ((*bnctx = BN_CTX_secure_new()) != NULL)
        BN_CTX_start(*bnctx);
    *pt = EC_POINT_new(group);
    return *bnctx != NULL && *pt != NULL;
}

/* Whether h * P is the point at infinity (1 also when the check fails). With the cofactor
 * 1 (the SM2 curve) that is P itself, and the multiplication, as costly as any other, is
 * saved. */
static int sm2_cofactor_multiple_at_infinity(const EC_GROUP *group, const EC_POINT *P,
                                             BIGNUM *h, EC_POINT *scratch, BN_CTX *bnctx)
{
    if (!EC_GROUP_get_cofactor(group, h, bnctx))
        return 1;
    if (BN_is_one(h))
        return EC_POINT_is_at_infinity(group, P);
    return !EC_POINT_mul(group, scratch, NULL, P, h, bnctx)
           || EC_POINT_is_at_infinity(group, scratch);
}

int SM2_enc_init(SM2_CRYPT_CTX *ctx, const EC_KEY *key)
{
    static const unsigned char seed[4] = { 'j', 'e', 'k', 'u' };
    const EC_GROUP *group;
    const EC_POINT *pub;
    BN_CTX *bnctx = NULL;
    EC_POINT *pt = NULL;
    BIGNUM *k = NULL, *n, *h, *x, *y;
    int ret = 0;

    RAND_seed(seed, sizeof(seed));
    if (ctx == NULL)
        return 0;
    memset(ctx, 0, sizeof(*ctx));
    ctx->counter = 1;
    ctx->pending_len = 0;
    ERR_set_mark(); /* as in SM2_dec_prepare */
    if (key == NULL || (group = EC_KEY_get0_group(key)) == NULL)
        goto err;
    if (!sm2_scratch(group, &bnctx, &pt))
        goto err;
    n = BN_CTX_get(bnctx);
    h = BN_CTX_get(bnctx);
    x = BN_CTX_get(bnctx);
    y = BN_CTX_get(bnctx);
    k = BN_secure_new();
    if (y == NULL || k == NULL)
        goto err;
    if (!EC_GROUP_get_order(group, n, bnctx))
        goto err;
    do {
        if (!BN_rand_range(k, n))
            goto err;
    } while (BN_is_zero(k));

    /* C1 = kG */
    if (!EC_POINT_mul(group, pt, k, NULL, NULL, bnctx)
        || !EC_POINT_get_affine_coordinates(group, pt, x, y, bnctx)
        || EC_POINT_is_on_curve(group, pt, bnctx) != 1)
        goto err;
    ctx->c1[0] = 0x04;
    if (!sm2_put_field(ctx->c1 + 1, x, SM2_COORD_LENGTH)
        || !sm2_put_field(ctx->c1 + 1 + SM2_COORD_LENGTH, y, SM2_COORD_LENGTH))
        goto err;

    /* hP must not be the point at infinity */
    if ((pub = EC_KEY_get0_public_key(key)) == NULL
        || sm2_cofactor_multiple_at_infinity(group, pub, h, pt, bnctx))
        goto err;

    /* (x2, y2) = kP */
    if (!EC_POINT_mul(group, pt, NULL, pub, k, bnctx)
        || !EC_POINT_get_affine_coordinates(group, pt, x, y, bnctx)
        || !sm2_put_field(ctx->x2, x, SM2_COORD_LENGTH)
        || !sm2_put_field(ctx->y2, y, SM2_COORD_LENGTH))
        goto err;

    SM3_Init(&ctx->sm3_ctx);
    SM3_Update(&ctx->sm3_ctx, ctx->x2, SM2_COORD_LENGTH);
    ret = 1;

err:
    if (!ret && ctx != NULL)
        /* counter 0: later calls on this context refuse to make key stream */
        OPENSSL_cleanse(ctx, sizeof(*ctx));
    BN_clear_free(k);
    if (bnctx != NULL) {
        /* x and y held (x2, y2) */
        BN_CTX_end(bnctx);
        BN_CTX_free(bnctx);
    }
    EC_POINT_clear_free(pt);
    ERR_pop_to_mark();
    return ret;
}

/* n (at most 32) bytes: XOR with the first n bytes of the next key-stream block, write
 * at out + *outlen and hash their plaintext. */
static int sm2_crypt_block(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t n,
                           unsigned char *out, size_t *outlen, int decrypting)
{
    unsigned char ks[SM2_BLOCK], res[SM2_BLOCK];
    int ret = 0;

    if (!sm2_next_keystream(ctx, ks, n))
        goto err;
    sm2_xor_block(res, in, ks, n);
    SM3_Update(&ctx->sm3_ctx, decrypting ? res : in, n);
    memcpy(out + *outlen, res, n);
    *outlen += n;
    ret = 1;

err:
    OPENSSL_cleanse(ks, sizeof(ks));
    OPENSSL_cleanse(res, sizeof(res));
    return ret;
}

int SM2_CMC_update(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen,
                   unsigned char *out, size_t *outlen)
{
    unsigned char first[SM2_BLOCK];
    size_t have, take, off = 0;
    int decrypting, ret = 0;

    if (ctx == NULL || outlen == NULL || (in == NULL && inlen > 0)
        || ctx->pending_len < 0 || ctx->pending_len >= SM2_BLOCK)
        return 0;
    decrypting = ctx->tail_len == SM2_BLOCK;
    have = (size_t)ctx->pending_len;
    if (inlen < SM2_BLOCK - have) {
        if (inlen > 0)
            memcpy(ctx->pending + have, in, inlen);
        ctx->pending_len = (int32_t)(have + inlen);
        return 1;
    }
    if (out == NULL)
        return 0;

    /* the block that starts with the pending bytes */
    if (have > 0) {
        take = SM2_BLOCK - have;
        memcpy(first, ctx->pending, have);
        memcpy(first + have, in, take);
        if (!sm2_crypt_block(ctx, first, SM2_BLOCK, out, outlen, decrypting))
            goto err;
        off = take;
    }
    /* whole blocks straight from the input */
    while (inlen - off >= SM2_BLOCK) {
        if (!sm2_crypt_block(ctx, in + off, SM2_BLOCK, out, outlen, decrypting))
            goto err;
        off += SM2_BLOCK;
    }
    memcpy(ctx->pending, in + off, inlen - off);
    ctx->pending_len = (int32_t)(inlen - off);
    ret = 1;

err:
    OPENSSL_cleanse(first, sizeof(first));
    return ret;
}

int SM2_enc_update(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen,
                   unsigned char *out, size_t *outlen)
{
    size_t need;

    if (ctx == NULL || in == NULL || outlen == NULL || inlen == 0)
        return 0;
    if (inlen > SIZE_MAX - SM2_BLOCK - SM2_C1_LENGTH)
        return 0;
    need = inlen + (size_t)ctx->pending_len + SM2_C1_LENGTH;
    if (out == NULL) {
        *outlen = need;
        return 1;
    }
    if (*outlen < need) {
        *outlen = need;
        return 0;
    }
    *outlen = 0;
    if ((size_t)ctx->pending_len + inlen < SM2_BLOCK)
        return SM2_CMC_update(ctx, in, inlen, out, outlen);
    if (ctx->counter == 1) {
        memcpy(out, ctx->c1, SM2_C1_LENGTH);
        *outlen = SM2_C1_LENGTH;
    }
    return SM2_CMC_update(ctx, in, inlen, out, outlen);
}

/* The secrets of a finished context: nothing of them is needed after the final call. */
static void sm2_ctx_forget(SM2_CRYPT_CTX *ctx)
{
    OPENSSL_cleanse(ctx->x2, sizeof(ctx->x2));
    OPENSSL_cleanse(ctx->y2, sizeof(ctx->y2));
    OPENSSL_cleanse(&ctx->sm3_ctx, sizeof(ctx->sm3_ctx));
    OPENSSL_cleanse(ctx->pending, sizeof(ctx->pending));
}

/* The pending bytes, the last partial block, through the key stream. */
static int sm2_last_block(SM2_CRYPT_CTX *ctx, unsigned char *out, size_t *outlen,
                          int decrypting)
{
    size_t n = (size_t)ctx->pending_len;

    return n == 0 || sm2_crypt_block(ctx, ctx->pending, n, out, outlen, decrypting);
}

int SM2_enc_final(SM2_CRYPT_CTX *ctx, unsigned char *out, size_t *outlen)
{
    size_t need;
    int c1_here, ret = 0;

    if (ctx == NULL || outlen == NULL || ctx->pending_len < 0 || ctx->pending_len >= SM2_BLOCK)
        return 0;
    /* C3 would be made from nothing */
    if (!sm2_ctx_live(ctx))
        return 0;
    need = (size_t)ctx->pending_len + SM2_C3_LENGTH + (ctx->counter == 1 ? SM2_C1_LENGTH : 0);
    if (out == NULL) {
        *outlen = need;
        return 1;
    }
    if (*outlen < need) {
        *outlen = need;
        return 0;
    }
    /* C1 goes out only together with the last block: a message shorter than a block whose
     * key stream is all zero fails here with nothing written */
    c1_here = ctx->counter == 1;
    *outlen = c1_here ? SM2_C1_LENGTH : 0;
    if (!sm2_last_block(ctx, out, outlen, 0)) {
        *outlen = 0;
        goto err;
    }
    if (c1_here)
        memcpy(out, ctx->c1, SM2_C1_LENGTH);
    SM3_Update(&ctx->sm3_ctx, ctx->y2, SM2_COORD_LENGTH);
    SM3_Final(out + *outlen, &ctx->sm3_ctx);
    *outlen += SM2_C3_LENGTH;
    ret = 1;

err:
    sm2_ctx_forget(ctx);
    return ret;
}

int SM2_ENC(const EC_KEY *key, const unsigned char *in, size_t inlen,
            unsigned char *out, size_t *outlen)
{
    SM2_CRYPT_CTX ctx;
    size_t n1, n2;
    int draws, ret = 0;

    if (key == NULL || in == NULL || outlen == NULL)
        return 0;
    if (inlen > SIZE_MAX - SM2_BLOCK - SM2_CIPHER_OVERHEAD)
        return 0;
    if (out == NULL) {
        *outlen = inlen + SM2_CIPHER_OVERHEAD;
        return 1;
    }
    /* A message shorter than a block takes its whole key stream from the first block: when
     * that is all zero, C2 would be the message itself, and a new k is drawn. */
    for (draws = 0;; draws++) {
        if (draws == SM2_KEYSTREAM_DRAWS || !SM2_enc_init(&ctx, key))
            goto err;
        if (inlen == 0 || inlen >= SM2_BLOCK || sm2_short_keystream_usable(&ctx, inlen))
            break;
    }
    n1 = *outlen;
    if (!SM2_enc_update(&ctx, in, inlen, out, &n1))
        goto err;
    n2 = *outlen - n1;
    if (!SM2_enc_final(&ctx, out + n1, &n2))
        goto err;
    *outlen = n1 + n2;
    ret = 1;

err:
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return ret;
}

int SM2_dec_init(SM2_CRYPT_CTX *ctx, const EC_KEY *key)
{
    if (ctx == NULL || key == NULL)
        return 0;
    memset(ctx, 0, sizeof(*ctx));
    ctx->counter = 1;
    ctx->dec_key = key;
    SM3_Init(&ctx->sm3_ctx);
    return 1;
}

int SM2_dec_prepare(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen)
{
    const EC_GROUP *group;
    const BIGNUM *d;
    BN_CTX *bnctx = NULL;
    EC_POINT *c1 = NULL, *pt = NULL;
    BIGNUM *h, *x, *y;
    int ret = 0;

    if (ctx == NULL || in == NULL || inlen < SM2_C1_LENGTH || ctx->dec_key == NULL
        || (group = EC_KEY_get0_group(ctx->dec_key)) == NULL)
        return 0;
    /* The library's point calls queue their refusals ("point is not on curve" for a C1 off
     * the curve); these calls report by their result alone, so whatever they queue is
     * dropped again. */
    ERR_set_mark();
    memcpy(ctx->c1, in, SM2_C1_LENGTH);
    if (!sm2_scratch(group, &bnctx, &pt) || (c1 = EC_POINT_new(group)) == NULL)
        goto err;
    h = BN_CTX_get(bnctx);
    x = BN_CTX_get(bnctx);
    y = BN_CTX_get(bnctx);
    if (y == NULL)
        goto err;

    /* C1 must be a point of the curve whose multiple by the cofactor is not infinity */
    if (BN_bin2bn(in + 1, SM2_COORD_LENGTH, x) == NULL
        || BN_bin2bn(in + 1 + SM2_COORD_LENGTH, SM2_COORD_LENGTH, y) == NULL
        || !EC_POINT_set_affine_coordinates(group, c1, x, y, bnctx)
        || EC_POINT_is_on_curve(group, c1, bnctx) != 1)
        goto err;
    if (sm2_cofactor_multiple_at_infinity(group, c1, h, pt, bnctx))
        goto err;

    /* (x2, y2) = d * C1 */
    if ((d = EC_KEY_get0_private_key(ctx->dec_key)) == NULL
        || !EC_POINT_mul(group, pt, NULL, c1, d, bnctx)
        || !EC_POINT_get_affine_coordinates(group, pt, x, y, bnctx)
        || !sm2_put_field(ctx->x2, x, SM2_COORD_LENGTH)
        || !sm2_put_field(ctx->y2, y, SM2_COORD_LENGTH))
        goto err;
    ret = 1;

err:
    if (!ret) {
        OPENSSL_cleanse(ctx->x2, sizeof(ctx->x2));
        OPENSSL_cleanse(ctx->y2, sizeof(ctx->y2));
    }
    if (bnctx != NULL) {
        BN_CTX_end(bnctx);
        BN_CTX_free(bnctx);
    }
    EC_POINT_free(c1);
    EC_POINT_clear_free(pt);
    ERR_pop_to_mark();
    return ret;
}

int SM2_dec_update(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen,
                   unsigned char *out, size_t *outlen)
{
    unsigned char leaving[SM2_BLOCK];
    const unsigned char *fresh;
    size_t c, held, pend, total, release, nleave;
    int ret = 0;

    if (ctx == NULL || in == NULL || outlen == NULL || ctx->dec_key == NULL)
        return 0;
    if (ctx->tail_len < 0 || ctx->tail_len > SM2_BLOCK
        || ctx->pending_len < 0 || ctx->pending_len >= SM2_BLOCK)
        return 0;
    if (!ctx->header_done) {
        if (inlen < SM2_C1_LENGTH)
            return 0;
        c = inlen - SM2_C1_LENGTH;
        fresh = in + SM2_C1_LENGTH;
    } else {
        c = inlen;
        fresh = in;
    }
    held = (size_t)ctx->tail_len;
    pend = (size_t)ctx->pending_len;
    if (c > SIZE_MAX - 2 * SM2_BLOCK)
        return 0;

    /* bytes that leave the tail go through the block step behind the pending ones */
    total = pend + held + c;
    release = total > SM2_BLOCK ? (total - SM2_BLOCK) / SM2_BLOCK * SM2_BLOCK : 0;
    if (out == NULL) {
        *outlen = release;
        return 1;
    }
    if (*outlen < release) {
        *outlen = release;
        return 0;
    }
    *outlen = 0;

    if (!ctx->header_done) {
        ctx->header_done = 1;
        if (!SM2_dec_prepare(ctx, in, inlen)) {
            ctx->dec_key = NULL; /* spent: later calls refuse */
            return 0;
        }
        SM3_Update(&ctx->sm3_ctx, ctx->x2, SM2_COORD_LENGTH);
    }

    if (held + c <= SM2_BLOCK) {
        memcpy(ctx->tail + held, fresh, c);
        ctx->tail_len = (int32_t)(held + c);
        return 1;
    }
    if (c < SM2_BLOCK) {
        /* the oldest bytes of the tail leave it; the new ones fill it up again */
        nleave = held + c - SM2_BLOCK;
        memcpy(leaving, ctx->tail, nleave);
        memmove(ctx->tail, ctx->tail + nleave, held - nleave);
        memcpy(ctx->tail + held - nleave, fresh, c);
        ctx->tail_len = SM2_BLOCK;
        ret = SM2_CMC_update(ctx, leaving, nleave, out, outlen);
    } else {
        /* the whole tail leaves, then the new bytes in front of the new tail */
        memcpy(leaving, ctx->tail, held);
        memcpy(ctx->tail, fresh + c - SM2_BLOCK, SM2_BLOCK);
        ctx->tail_len = SM2_BLOCK;
        ret = SM2_CMC_update(ctx, leaving, held, out, outlen)
              && SM2_CMC_update(ctx, fresh, c - SM2_BLOCK, out, outlen);
    }
    return ret;
}

int SM2_dec_final(SM2_CRYPT_CTX *ctx, unsigned char *out, size_t *outlen)
{
    unsigned char mac[SM2_C3_LENGTH];
    int ret = 0;

    if (ctx == NULL || outlen == NULL || ctx->pending_len < 0 || ctx->pending_len >= SM2_BLOCK)
        return 0;
    if (out == NULL) {
        *outlen = (size_t)ctx->pending_len;
        return 1;
    }
    if (*outlen < (size_t)ctx->pending_len)
        return 0;
    if (ctx->tail_len != SM2_BLOCK || !sm2_ctx_live(ctx))
        return 0;
    *outlen = 0;
    if (!sm2_last_block(ctx, out, outlen, 1))
        goto err;
    SM3_Update(&ctx->sm3_ctx, ctx->y2, SM2_COORD_LENGTH);
    SM3_Final(mac, &ctx->sm3_ctx);
    ret = CRYPTO_memcmp(mac, ctx->tail, SM2_C3_LENGTH) == 0;

err:
    OPENSSL_cleanse(mac, sizeof(mac));
    sm2_ctx_forget(ctx);
    return ret;
}

int SM2_DEC(const EC_KEY *key, const unsigned char *in, size_t inlen,
            unsigned char *out, size_t *outlen)
{
    SM2_CRYPT_CTX ctx;
    size_t mlen, n1, n2, last;
    int ret = 0;

    if (key == NULL || in == NULL || outlen == NULL || inlen < SM2_CIPHER_OVERHEAD)
        return 0;
    mlen = inlen - SM2_CIPHER_OVERHEAD;
    if (out == NULL) {
        *outlen = mlen;
        return 1;
    }
    if (*outlen < mlen)
        return 0;
    SM2_dec_init(&ctx, key);
    n1 = *outlen;
    if (!SM2_dec_update(&ctx, in, inlen, out, &n1)) {
        /* blocks released before the failure are not authenticated */
        if (n1 <= mlen)
            OPENSSL_cleanse(out, n1);
        goto err;
    }
    last = (size_t)ctx.pending_len;
    n2 = *outlen - n1;
    if (!SM2_dec_final(&ctx, out + n1, &n2)) {
        /* C3 did not match: nothing of the plaintext may stay with the caller */
        OPENSSL_cleanse(out, n1 + last);
        *outlen = 0;
        goto err;
    }
    *outlen = n1 + n2;
    ret = 1;

err:
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return ret;
}
