/*
 * SM2 key agreement: shared point, key derivation and confirmation hashes.
 */
#include "sm2_exch.h"

#include <string.h>

#include <openssl/crypto.h>

#include "kdf.h"
#include "sm2_curve_local.h"
#include "sm3.h"

/* The hash inputs are assembled here; the largest, that of T, takes 5 * fieldlen + 64. */
#define SM2_EXCH_WORK 1024
#define SM2_Z_LENGTH 32

/* x' = 2^w + (x mod 2^w), in place. */
static int sm2_exch_xbar(BIGNUM *x, int w)
{
    if (BN_num_bits(x) > w && !BN_mask_bits(x, w))
        return 0;
    return BN_set_bit(x, w);
}

EC_POINT *sm2_compute_key(const EC_POINT *peer_R, const EC_POINT *peer_P, const BIGNUM *r,
                          const EC_KEY *key, EC_POINT **own_R, int only_R)
{
    const EC_GROUP *group;
    const BIGNUM *d;
    BN_CTX *bnctx = NULL;
    EC_POINT *R = NULL, *U = NULL;
    BIGNUM *n, *h, *x, *t, *ht;
    int w, ok = 0;

    if (key == NULL || r == NULL || (group = EC_KEY_get0_group(key)) == NULL)
        return NULL;
    if ((bnctx = BN_CTX_secure_new()) == NULL)
        return NULL;
    BN_CTX_start(bnctx);
    R = EC_POINT_new(group);
    n = BN_CTX_get(bnctx);
    h = BN_CTX_get(bnctx);
    x = BN_CTX_get(bnctx);
    t = BN_CTX_get(bnctx);
    ht = BN_CTX_get(bnctx);
    if (R == NULL || ht == NULL)
        goto err;

    /* R = rG */
    if (!EC_POINT_mul(group, R, r, NULL, NULL, bnctx))
        goto err;
    if (own_R != NULL) {
        if ((*own_R = EC_POINT_dup(R, group)) == NULL)
            goto err;
        if (only_R)
            goto err; /* nothing more is asked for */
    }

    /* t = (d + x'(R) * r) mod n */
    if ((d = EC_KEY_get0_private_key(key)) == NULL
        || !EC_GROUP_get_order(group, n, bnctx)
        || !EC_POINT_get_affine_coordinates(group, R, x, NULL, bnctx))
        goto err;
    w = BN_num_bits(n) / 2 - 1;
    if (!sm2_exch_xbar(x, w)
        || !BN_mod_mul(t, x, r, n, bnctx)
        || !BN_mod_add(t, t, d, n, bnctx))
        goto err;

    /* The peer's points come from the other side: only points of the curve are taken,
     * anything else would let the peer probe t. */
    if (peer_R == NULL || peer_P == NULL
        || EC_POINT_is_on_curve(group, peer_R, bnctx) != 1
        || EC_POINT_is_on_curve(group, peer_P, bnctx) != 1
        || !EC_POINT_get_affine_coordinates(group, peer_R, x, NULL, bnctx)
        || !sm2_exch_xbar(x, w))
        goto err;

    /* U = (h * t)(peer_P + x'(peer_R) * peer_R) */
    if ((U = EC_POINT_new(group)) == NULL
        || !EC_POINT_mul(group, U, NULL, peer_R, x, bnctx)
        || !EC_POINT_add(group, U, U, peer_P, bnctx)
        || !EC_GROUP_get_cofactor(group, h, bnctx)
        || !BN_mul(ht, h, t, bnctx)
        || !EC_POINT_mul(group, U, NULL, U, ht, bnctx))
        goto err;
    ok = 1;

err:
    if (!ok) {
        EC_POINT_clear_free(U);
        U = NULL;
    }
    BN_CTX_end(bnctx);
    BN_CTX_free(bnctx);
    EC_POINT_free(R);
    return U;
}

int SM2_DH_key(const EC_POINT *peer_R, const EC_POINT *peer_P, const BIGNUM *r,
               const EC_KEY *key, unsigned char *K, size_t klen,
               unsigned char *S02, unsigned char *S03, int initiator,
               EC_POINT **own_R, int only_R,
               const unsigned char *IDA, int IDA_len,
               const unsigned char *IDB, int IDB_len)
{
    unsigned char work[SM2_EXCH_WORK];
    unsigned char ZA[SM2_Z_LENGTH], ZB[SM2_Z_LENGTH], T[SM3_DIGEST_LENGTH];
    const EC_GROUP *group;
    const EC_POINT *pub;
    const EC_POINT *RA, *RB;
    BN_CTX *bnctx = NULL;
    EC_POINT *R = NULL, *U = NULL;
    BIGNUM *xU, *yU, *xRA, *yRA, *xRB, *yRB;
    /* the peer's identity and Z, and the own ones */
    const unsigned char *peerId = initiator ? IDB : IDA, *ownId = initiator ? IDA : IDB;
    int peerIdLen = initiator ? IDB_len : IDA_len, ownIdLen = initiator ? IDA_len : IDB_len;
    unsigned char *peerZ = initiator ? ZB : ZA, *ownZ = initiator ? ZA : ZB;
    uint32_t counter = 1;
    int fl, deg, off, ret = 0;

    if (key == NULL || r == NULL)
        return 0;
    if (!only_R && (peer_R == NULL || peer_P == NULL || K == NULL))
        return 0;
    if (only_R && own_R == NULL)
        return 0;
    if ((group = EC_KEY_get0_group(key)) == NULL || (bnctx = BN_CTX_secure_new()) == NULL)
        return 0;
    BN_CTX_start(bnctx);

    U = sm2_compute_key(peer_R, peer_P, r, key, &R, only_R);
    if (own_R != NULL && R != NULL && (*own_R = EC_POINT_dup(R, group)) == NULL)
        goto err;
    if (only_R) {
        ret = R != NULL;
        goto err;
    }
    if (U == NULL || EC_POINT_is_at_infinity(group, U))
        goto err;

    xU = BN_CTX_get(bnctx);
    yU = BN_CTX_get(bnctx);
    xRA = BN_CTX_get(bnctx); /* initiator's R */
    yRA = BN_CTX_get(bnctx);
    xRB = BN_CTX_get(bnctx); /* responder's R */
    yRB = BN_CTX_get(bnctx);
    if (yRB == NULL)
        goto err;

    RA = initiator ? R : peer_R;
    RB = initiator ? peer_R : R;
    if (!EC_POINT_get_affine_coordinates(group, RA, xRA, yRA, bnctx)
        || !EC_POINT_get_affine_coordinates(group, RB, xRB, yRB, bnctx)
        || !EC_POINT_get_affine_coordinates(group, U, xU, yU, bnctx)
        || (deg = EC_GROUP_get_degree(group)) <= 0)
        goto err;
    fl = (deg + 7) / 8;
    if (5 * fl + 2 * SM2_Z_LENGTH > SM2_EXCH_WORK)
        goto err;

    /* the peer's Z, then the own one over the own public key */
    if (!sm2_z_of_point(group, peer_P, peerId, peerIdLen, peerZ, bnctx)
        || (pub = EC_KEY_get0_public_key(key)) == NULL
        || !sm2_z_of_point(group, pub, ownId, ownIdLen, ownZ, bnctx))
        goto err;

    /* K = KDF(xU || yU || ZA || ZB, klen) */
    memset(work, 0, sizeof(work));
    if (!sm2_put_field(work, xU, fl) || !sm2_put_field(work + fl, yU, fl))
        goto err;
    memcpy(work + 2 * fl, ZA, SM2_Z_LENGTH);
    memcpy(work + 2 * fl + SM2_Z_LENGTH, ZB, SM2_Z_LENGTH);
    if (!x9_63_kdf(&counter, work, (size_t)(2 * fl + 2 * SM2_Z_LENGTH), klen, K))
        goto err;

    /* T = SM3(xU || ZA || ZB || x1 || y1 || x2 || y2) */
    memset(work, 0, sizeof(work));
    if (!sm2_put_field(work, xU, fl))
        goto err;
    off = fl;
    memcpy(work + off, ZA, SM2_Z_LENGTH);
    off += SM2_Z_LENGTH;
    memcpy(work + off, ZB, SM2_Z_LENGTH);
    off += SM2_Z_LENGTH;
    if (!sm2_put_field(work + off, xRA, fl) || !sm2_put_field(work + off + fl, yRA, fl)
        || !sm2_put_field(work + off + 2 * fl, xRB, fl)
        || !sm2_put_field(work + off + 3 * fl, yRB, fl))
        goto err;
    off += 4 * fl;
    SM3(work, (size_t)off, T);

    /* S02 = SM3(0x02 || yU || T), S03 = SM3(0x03 || yU || T) */
    memset(work, 0, sizeof(work));
    work[0] = 0x02;
    if (!sm2_put_field(work + 1, yU, fl))
        goto err;
    memcpy(work + 1 + fl, T, SM3_DIGEST_LENGTH);
    if (S02 != NULL)
        SM3(work, (size_t)(1 + fl + SM3_DIGEST_LENGTH), S02);
    work[0] = 0x03;
    if (S03 != NULL)
        SM3(work, (size_t)(1 + fl + SM3_DIGEST_LENGTH), S03);
    ret = 1;

err:
    OPENSSL_cleanse(work, sizeof(work));
    OPENSSL_cleanse(T, sizeof(T));
    BN_CTX_end(bnctx);
    BN_CTX_free(bnctx);
    EC_POINT_clear_free(U);
    EC_POINT_free(R);
    return ret;
}
