/*
 * The key operation method of the SM2 key type (NID_sm2): SM2 signing, verification,
 * encryption and decryption (raw C1 || C2 || C3), key generation on the SM2 curve, and
 * the EC method's parameter generation, ECDH derivation and controls.
 */
#include <stdlib.h>
#include <string.h>

#include <openssl/ec.h>
#include <openssl/ecdh.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "sm2.h"
#include "sm2_enc.h"
#include "sm2_keys.h"
#include "sm2_meth_local.h"
#include "sm2_setup.h"

/* Per-context data. */
typedef struct {
    EC_GROUP *gen_group;      /* curve for parameter generation, owned */
    const EVP_MD *md;         /* signature digest, borrowed; SHA-1 when none */
    EC_KEY *co_key;           /* copy of the key with the cofactor flag changed, owned */
    signed char cofactor_mode; /* -1: the key's own flag; 0 off; 1 on */
    char kdf_type;            /* EVP_PKEY_ECDH_KDF_NONE or _X9_63 */
    const EVP_MD *kdf_md;     /* digest of the X9.62 KDF, borrowed */
    unsigned char *kdf_ukm;   /* user keying material, owned */
    size_t kdf_ukmlen;
    size_t kdf_outlen;
    unsigned char *id;        /* signer ID set through EVP_PKEY_CTX_set1_id, owned */
    size_t id_len;
    int id_set;
    int z_digested;           /* digest_custom fed Z of the ID into the current digest */
} SM2_PKEY_CTX;

static EC_KEY *sm2_ctx_key(EVP_PKEY_CTX *ctx)
{
    return sm2_pkey_get0_eckey(EVP_PKEY_CTX_get0_pkey(ctx));
}

static int pkey_ec_init(EVP_PKEY_CTX *ctx)
{
    SM2_PKEY_CTX *dctx = OPENSSL_zalloc(sizeof(*dctx));

    if (dctx == NULL)
        return 0;
    dctx->cofactor_mode = -1;
    dctx->kdf_type = EVP_PKEY_ECDH_KDF_NONE;
    EVP_PKEY_CTX_set_data(ctx, dctx);
    return 1;
}

static void pkey_ec_cleanup(EVP_PKEY_CTX *ctx)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);

    if (dctx == NULL)
        return;
    EC_GROUP_free(dctx->gen_group);
    EC_KEY_free(dctx->co_key);
    OPENSSL_free(dctx->kdf_ukm);
    OPENSSL_free(dctx->id);
    OPENSSL_free(dctx);
    EVP_PKEY_CTX_set_data(ctx, NULL);
}

static int pkey_ec_copy(EVP_PKEY_CTX *dst, const EVP_PKEY_CTX *src)
{
    SM2_PKEY_CTX *dctx, *sctx = EVP_PKEY_CTX_get_data(src);

    if (!pkey_ec_init(dst))
        return 0;
    dctx = EVP_PKEY_CTX_get_data(dst);
    if (sctx->gen_group != NULL && (dctx->gen_group = EC_GROUP_dup(sctx->gen_group)) == NULL)
        goto err;
    dctx->md = sctx->md;
    if (sctx->co_key != NULL && (dctx->co_key = EC_KEY_dup(sctx->co_key)) == NULL)
        goto err;
    dctx->kdf_type = sctx->kdf_type;
    dctx->kdf_md = sctx->kdf_md;
    dctx->kdf_outlen = sctx->kdf_outlen;
    if (sctx->kdf_ukm != NULL) {
        if ((dctx->kdf_ukm = OPENSSL_memdup(sctx->kdf_ukm, sctx->kdf_ukmlen)) == NULL)
            goto err;
        dctx->kdf_ukmlen = sctx->kdf_ukmlen;
    }
    if (sctx->id_set) {
        if (sctx->id_len > 0 && (dctx->id = OPENSSL_memdup(sctx->id, sctx->id_len)) == NULL)
            goto err;
        dctx->id_len = sctx->id_len;
        dctx->id_set = 1;
    }
    dctx->z_digested = sctx->z_digested;
    return 1;
err:
    pkey_ec_cleanup(dst);
    return 0;
}

static int pkey_ec_sm2_paramgen(EVP_PKEY_CTX *ctx, EVP_PKEY *pkey)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);
    EC_KEY *eckey;

    if (dctx->gen_group == NULL) {
        ERR_raise(ERR_LIB_EC, EC_R_NO_PARAMETERS_SET);
        return 0;
    }
    if ((eckey = EC_KEY_new()) == NULL)
        return 0;
    if (!EC_KEY_set_group(eckey, dctx->gen_group)
        || !sm2_pkey_assign_typed(pkey, NID_sm2, eckey)) {
        EC_KEY_free(eckey);
        return 0;
    }
    return 1;
}

static int pkey_ec_sm2_keygen(EVP_PKEY_CTX *ctx, EVP_PKEY *pkey)
{
    EC_KEY *eckey = SM2_KEY_get(1);

    (void)ctx;
    if (eckey == NULL)
        return 0;
    /* A generation that failed leaves a key without a usable pair: report it. */
    if (EC_KEY_get0_private_key(eckey) == NULL || !EC_KEY_check_key(eckey)
        || !EVP_PKEY_assign_EC_SM2_KEY(pkey, eckey)) {
        EC_KEY_free(eckey);
        return 0;
    }
    return 1;
}

static int sm2_digest_type(const SM2_PKEY_CTX *dctx)
{
    return dctx->md != NULL ? EVP_MD_get_type(dctx->md) : NID_sha1;
}

static int pkey_ec_sm2_sign(EVP_PKEY_CTX *ctx, unsigned char *sig, size_t *siglen,
                            const unsigned char *tbs, size_t tbslen)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);
    EC_KEY *eckey = sm2_ctx_key(ctx);
    unsigned int sltmp;
    int ret, size;

    if (eckey == NULL || (size = ECDSA_size(eckey)) <= 0)
        return 0;
    if (sig == NULL) {
        *siglen = (size_t)size;
        return 1;
    }
    if (*siglen < (size_t)size) {
        ERR_raise(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL);
        return 0;
    }
    ret = SM2_sign(sm2_digest_type(dctx), tbs, tbslen, sig, &sltmp, eckey);
    if (ret <= 0)
        return ret;
    *siglen = sltmp;
    return 1;
}

static int pkey_ec_sm2_verify(EVP_PKEY_CTX *ctx, const unsigned char *sig, size_t siglen,
                              const unsigned char *tbs, size_t tbslen)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);
    EC_KEY *eckey = sm2_ctx_key(ctx);

    if (eckey == NULL)
        return -1;
    return SM2_verify(sm2_digest_type(dctx), tbs, tbslen, sig, siglen, eckey);
}

/* SM2 encryption and decryption share one form: key, input, output and its length. */
typedef int (*sm2_cipher_fn)(const EC_KEY *key, const unsigned char *in, size_t inlen,
                             unsigned char *out, size_t *outlen);

static int sm2_cipher(EVP_PKEY_CTX *ctx, sm2_cipher_fn fn, unsigned char *out,
                      size_t *outlen, const unsigned char *in, size_t inlen)
{
    EC_KEY *eckey = sm2_ctx_key(ctx);

    if (eckey == NULL)
        return 0;
    return fn(eckey, in, inlen, out, outlen);
}

static int pkey_sm2_encrypt(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *outlen,
                            const unsigned char *in, size_t inlen)
{
    return sm2_cipher(ctx, SM2_ENC, out, outlen, in, inlen);
}

static int pkey_sm2_decrypt(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *outlen,
                            const unsigned char *in, size_t inlen)
{
    return sm2_cipher(ctx, SM2_DEC, out, outlen, in, inlen);
}

/* Plain ECDH: the x-coordinate of the shared point, cut to *keylen. */
static int pkey_ec_derive(EVP_PKEY_CTX *ctx, unsigned char *key, size_t *keylen)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);
    EC_KEY *eckey = dctx->co_key != NULL ? dctx->co_key : sm2_ctx_key(ctx);
    EC_KEY *peer = sm2_pkey_get0_eckey(EVP_PKEY_CTX_get0_peerkey(ctx));
    const EC_POINT *pubkey;
    int ret;

    if (eckey == NULL || peer == NULL || (pubkey = EC_KEY_get0_public_key(peer)) == NULL) {
        ERR_raise(ERR_LIB_EC, EC_R_KEYS_NOT_SET);
        return 0;
    }
    if (key == NULL) {
        *keylen = (EC_GROUP_get_degree(EC_KEY_get0_group(eckey)) + 7) / 8;
        return 1;
    }
    ret = ECDH_compute_key(key, *keylen, pubkey, eckey, NULL);
    if (ret <= 0)
        return 0;
    *keylen = (size_t)ret;
    return 1;
}

static int pkey_ec_kdf_derive(EVP_PKEY_CTX *ctx, unsigned char *key, size_t *keylen)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);
    EC_KEY *eckey = sm2_ctx_key(ctx);
    unsigned char *secret = NULL;
    size_t secretlen = 0;
    int ret = 0;

    if (dctx->kdf_type == EVP_PKEY_ECDH_KDF_NONE)
        return pkey_ec_derive(ctx, key, keylen);
    if (key == NULL) {
        *keylen = dctx->kdf_outlen;
        return 1;
    }
    if (*keylen != dctx->kdf_outlen)
        return 0;
    if (eckey == NULL || EVP_PKEY_CTX_get0_peerkey(ctx) == NULL) {
        ERR_raise(ERR_LIB_EC, EC_R_KEYS_NOT_SET);
        return 0;
    }
    secretlen = (EC_GROUP_get_degree(EC_KEY_get0_group(eckey)) + 7) / 8;
    if ((secret = OPENSSL_malloc(secretlen)) == NULL)
        return 0;
    if (!pkey_ec_derive(ctx, secret, &secretlen))
        goto err;
    if (!ECDH_KDF_X9_62(key, *keylen, secret, secretlen, dctx->kdf_ukm, dctx->kdf_ukmlen,
                        dctx->kdf_md))
        goto err;
    ret = 1;
err:
    OPENSSL_clear_free(secret, secretlen);
    return ret;
}

static int sm2_cofactor_ctrl(EVP_PKEY_CTX *ctx, SM2_PKEY_CTX *dctx, int p1)
{
    EC_KEY *eckey = sm2_ctx_key(ctx);
    const EC_GROUP *group = eckey != NULL ? EC_KEY_get0_group(eckey) : NULL;
    const BIGNUM *cofactor;

    if (p1 == -2) {
        if (dctx->cofactor_mode != -1)
            return dctx->cofactor_mode;
        if (eckey == NULL)
            return -2;
        return EC_KEY_get_flags(eckey) & EC_FLAG_COFACTOR_ECDH ? 1 : 0;
    }
    if (p1 < -1 || p1 > 1)
        return -2;
    dctx->cofactor_mode = (signed char)p1;
    if (p1 == -1) {
        EC_KEY_free(dctx->co_key);
        dctx->co_key = NULL;
        return 1;
    }
    if (group == NULL)
        return -2;
    cofactor = EC_GROUP_get0_cofactor(group);
    if (cofactor != NULL && BN_is_one(cofactor))
        return 1;
    if (dctx->co_key == NULL && (dctx->co_key = EC_KEY_dup(eckey)) == NULL)
        return 0;
    if (p1 == 1)
        EC_KEY_set_flags(dctx->co_key, EC_FLAG_COFACTOR_ECDH);
    else
        EC_KEY_clear_flags(dctx->co_key, EC_FLAG_COFACTOR_ECDH);
    return 1;
}

static int pkey_ec_sm2_ctrl(EVP_PKEY_CTX *ctx, int type, int p1, void *p2)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);
    EC_GROUP *group;
    int md_type;

    switch (type) {
    case EVP_PKEY_CTRL_MD:
        md_type = EVP_MD_get_type(p2);
        if (md_type != NID_sha1 && md_type != NID_ecdsa_with_SHA1 && md_type != NID_sha224
            && md_type != NID_sha256 && md_type != NID_sha384 && md_type != NID_sha512
            && md_type != NID_sm3) {
            ERR_raise(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE);
            return 0;
        }
        dctx->md = p2;
        return 1;
    case EVP_PKEY_CTRL_GET_MD:
        *(const EVP_MD **)p2 = dctx->md;
        return 1;
    case EVP_PKEY_CTRL_PEER_KEY:
    case EVP_PKEY_CTRL_PKCS7_SIGN:
    case EVP_PKEY_CTRL_DIGESTINIT:
    case EVP_PKEY_CTRL_CMS_SIGN:
        return 1;
    case EVP_PKEY_CTRL_SET1_ID:
        OPENSSL_free(dctx->id);
        dctx->id = NULL;
        dctx->id_len = 0;
        dctx->id_set = 0;
        if (p1 > 0) {
            if ((dctx->id = OPENSSL_memdup(p2, (size_t)p1)) == NULL)
                return 0;
            dctx->id_len = (size_t)p1;
        }
        dctx->id_set = 1;
        return 1;
    case EVP_PKEY_CTRL_GET1_ID:
        if (dctx->id_len > 0)
            memcpy(p2, dctx->id, dctx->id_len);
        return 1;
    case EVP_PKEY_CTRL_GET1_ID_LEN:
        *(size_t *)p2 = dctx->id_len;
        return 1;
    case SM2_PKEY_CTRL_Z_STATE:
        return dctx->z_digested ? 2 : dctx->id_set ? 1 : 0;
    case EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID:
        if ((group = EC_GROUP_new_by_curve_name(p1)) == NULL) {
            ERR_raise(ERR_LIB_EC, EC_R_INVALID_CURVE);
            return 0;
        }
        EC_GROUP_free(dctx->gen_group);
        dctx->gen_group = group;
        return 1;
    case EVP_PKEY_CTRL_EC_PARAM_ENC:
        if (dctx->gen_group == NULL) {
            ERR_raise(ERR_LIB_EC, EC_R_NO_PARAMETERS_SET);
            return 0;
        }
        EC_GROUP_set_asn1_flag(dctx->gen_group, p1);
        return 1;
    case EVP_PKEY_CTRL_EC_ECDH_COFACTOR:
        return sm2_cofactor_ctrl(ctx, dctx, p1);
    case EVP_PKEY_CTRL_EC_KDF_TYPE:
        if (p1 == -2)
            return dctx->kdf_type;
        if (p1 != EVP_PKEY_ECDH_KDF_NONE && p1 != EVP_PKEY_ECDH_KDF_X9_63)
            return -2;
        dctx->kdf_type = (char)p1;
        return 1;
    case EVP_PKEY_CTRL_EC_KDF_MD:
        dctx->kdf_md = p2;
        return 1;
    case EVP_PKEY_CTRL_GET_EC_KDF_MD:
        *(const EVP_MD **)p2 = dctx->kdf_md;
        return 1;
    case EVP_PKEY_CTRL_EC_KDF_OUTLEN:
        if (p1 <= 0)
            return -2;
        dctx->kdf_outlen = (size_t)p1;
        return 1;
    case EVP_PKEY_CTRL_GET_EC_KDF_OUTLEN:
        *(int *)p2 = (int)dctx->kdf_outlen;
        return 1;
    case EVP_PKEY_CTRL_EC_KDF_UKM:
        OPENSSL_free(dctx->kdf_ukm);
        dctx->kdf_ukm = p2;
        dctx->kdf_ukmlen = p2 != NULL ? (size_t)p1 : 0;
        return 1;
    case EVP_PKEY_CTRL_GET_EC_KDF_UKM:
        *(unsigned char **)p2 = dctx->kdf_ukm;
        return (int)dctx->kdf_ukmlen;
    default:
        return -2;
    }
}

/* Text commands, forwarded as the EC method forwards them: to EC key contexts. */
static int pkey_ec_ctrl_str(EVP_PKEY_CTX *ctx, const char *type, const char *value)
{
    if (strcmp(type, "ec_paramgen_curve") == 0) {
        int nid = EC_curve_nist2nid(value);

        if (nid == NID_undef)
            nid = OBJ_sn2nid(value);
        if (nid == NID_undef)
            nid = OBJ_ln2nid(value);
        if (nid == NID_undef) {
            ERR_raise(ERR_LIB_EC, EC_R_INVALID_CURVE);
            return 0;
        }
        return EVP_PKEY_CTX_ctrl(ctx, EVP_PKEY_EC, EVP_PKEY_OP_PARAMGEN | EVP_PKEY_OP_KEYGEN,
                                 EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, nid, NULL);
    }
    if (strcmp(type, "ec_param_enc") == 0) {
        int enc;

        if (strcmp(value, "explicit") == 0)
            enc = 0;
        else if (strcmp(value, "named_curve") == 0)
            enc = OPENSSL_EC_NAMED_CURVE;
        else
            return -2;
        return EVP_PKEY_CTX_ctrl(ctx, EVP_PKEY_EC, EVP_PKEY_OP_PARAMGEN | EVP_PKEY_OP_KEYGEN,
                                 EVP_PKEY_CTRL_EC_PARAM_ENC, enc, NULL);
    }
    if (strcmp(type, "ecdh_kdf_md") == 0) {
        const EVP_MD *md = EVP_get_digestbyname(value);

        if (md == NULL) {
            ERR_raise(ERR_LIB_EC, EC_R_INVALID_DIGEST);
            return 0;
        }
        return EVP_PKEY_CTX_ctrl(ctx, EVP_PKEY_EC, EVP_PKEY_OP_DERIVE,
                                 EVP_PKEY_CTRL_EC_KDF_MD, 0, (void *)md);
    }
    if (strcmp(type, "ecdh_cofactor_mode") == 0)
        return EVP_PKEY_CTX_ctrl(ctx, EVP_PKEY_EC, EVP_PKEY_OP_DERIVE,
                                 EVP_PKEY_CTRL_EC_ECDH_COFACTOR, atoi(value), NULL);
    return -2;
}

/* EVP_DigestSign/EVP_DigestVerify with a signer ID set on the context: Z first. */
static int pkey_sm2_digest_custom(EVP_PKEY_CTX *ctx, EVP_MD_CTX *mctx)
{
    SM2_PKEY_CTX *dctx = EVP_PKEY_CTX_get_data(ctx);
    unsigned char z[64];
    int ret = 0;

    dctx->z_digested = 0;
    if (!dctx->id_set)
        return 1;
    memset(z, 0, sizeof(z));
    if (dctx->id_len > SM2_MAX_ID_LENGTH
        || !SM2_Z(sm2_ctx_key(ctx), dctx->id, (int)dctx->id_len, z))
        goto err;
    ret = EVP_DigestUpdate(mctx, z, 32);
    dctx->z_digested = ret;
err:
    OPENSSL_cleanse(z, sizeof(z));
    return ret;
}

EVP_PKEY_METHOD *ec_sm2_pkey_meth_new(void)
{
    EVP_PKEY_METHOD *pmeth = EVP_PKEY_meth_new(NID_sm2, 0);

    if (pmeth == NULL)
        return NULL;
    EVP_PKEY_meth_set_init(pmeth, pkey_ec_init);
    EVP_PKEY_meth_set_copy(pmeth, pkey_ec_copy);
    EVP_PKEY_meth_set_cleanup(pmeth, pkey_ec_cleanup);
    EVP_PKEY_meth_set_paramgen(pmeth, NULL, pkey_ec_sm2_paramgen);
    EVP_PKEY_meth_set_keygen(pmeth, NULL, pkey_ec_sm2_keygen);
    EVP_PKEY_meth_set_sign(pmeth, NULL, pkey_ec_sm2_sign);
    EVP_PKEY_meth_set_verify(pmeth, NULL, pkey_ec_sm2_verify);
    EVP_PKEY_meth_set_encrypt(pmeth, NULL, pkey_sm2_encrypt);
    EVP_PKEY_meth_set_decrypt(pmeth, NULL, pkey_sm2_decrypt);
    EVP_PKEY_meth_set_derive(pmeth, NULL, pkey_ec_kdf_derive);
    EVP_PKEY_meth_set_ctrl(pmeth, pkey_ec_sm2_ctrl, pkey_ec_ctrl_str);
    EVP_PKEY_meth_set_digest_custom(pmeth, pkey_sm2_digest_custom);
    return pmeth;
}
