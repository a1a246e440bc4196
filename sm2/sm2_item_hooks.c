/*
 * Item signing and verification with SM2 keys: the signer identity digest Z is digested
 * before the item's DER, so that the signature covers H(Z || DER). Keys of other types
 * go to the library's own functions unchanged. Reached through -Wl,--wrap (see
 * link-wrap.cmake): X509_sign and friends call ASN1_item_sign_ex/_ctx, X509_verify and
 * friends ASN1_item_verify_ex.
 */
#include <limits.h>
#include <string.h>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "sm2.h"
#include "sm2_meth_local.h"
#include "sm2_setup.h"

SM2_CHANGED(int, ASN1_item_sign,
            (const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
             ASN1_BIT_STRING *signature, const void *data, EVP_PKEY *pkey, const EVP_MD *md))
SM2_CHANGED(int, ASN1_item_sign_ex,
            (const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
             ASN1_BIT_STRING *signature, const void *data, const ASN1_OCTET_STRING *id,
             EVP_PKEY *pkey, const EVP_MD *md, OSSL_LIB_CTX *libctx, const char *propq))
SM2_CHANGED(int, ASN1_item_sign_ctx,
            (const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
             ASN1_BIT_STRING *signature, const void *data, EVP_MD_CTX *ctx))
SM2_CHANGED(int, ASN1_item_verify,
            (const ASN1_ITEM *it, const X509_ALGOR *alg, const ASN1_BIT_STRING *signature,
             const void *data, EVP_PKEY *pkey))
SM2_CHANGED(int, ASN1_item_verify_ex,
            (const ASN1_ITEM *it, const X509_ALGOR *alg, const ASN1_BIT_STRING *signature,
             const void *data, const ASN1_OCTET_STRING *id, EVP_PKEY *pkey,
             OSSL_LIB_CTX *libctx, const char *propq))

static int sm2_is_sm2_key(const EVP_PKEY *pkey)
{
    return pkey != NULL && EVP_PKEY_get_base_id(pkey) == NID_sm2;
}

/* Digests Z of the key for the signer ID (the GM/T default one when id is null). A key
 * whose Z cannot be computed (no public point, an unusable ID) fails: a signature over
 * anything else would verify for no one. */
static int sm2_digest_z(EVP_MD_CTX *ctx, EVP_PKEY *pkey, const ASN1_OCTET_STRING *id)
{
    unsigned char area[64];
    const void *id_data = SM2_DEFAULT_ID;
    int id_len = SM2_DEFAULT_ID_LENGTH, ret = 0;

    if (id != NULL) {
        id_data = id->data;
        id_len = id->length;
    }
    memset(area, 0, sizeof(area));
    if (!SM2_Z(sm2_pkey_get0_eckey(pkey), id_data, id_len, area))
        goto err;
    ret = EVP_DigestUpdate(ctx, area, 32);
err:
    OPENSSL_cleanse(area, sizeof(area));
    return ret;
}

/* Digests Z for signing through ctx, exactly once. The SM2 key method digests Z of the
 * ID that EVP_PKEY_CTX_set1_id gave the key context (the usual way to sign with an ID of
 * one's own) at the first signing update: an empty update lets it do so now. Without
 * that, Z is of the key context's ID when it has one the method has not digested, else of
 * id, or of the GM/T default ID when id is null. */
static int sm2_digest_z_once(EVP_MD_CTX *ctx, EVP_PKEY *pkey, const ASN1_OCTET_STRING *id)
{
    EVP_PKEY_CTX *pctx = EVP_MD_CTX_get_pkey_ctx(ctx);
    ASN1_OCTET_STRING ctx_id;
    unsigned char *buf = NULL;
    size_t len = 0;
    int state, ret = 0;

    if (!EVP_DigestSignUpdate(ctx, NULL, 0))
        return 0;
    ERR_set_mark();
    state = pctx == NULL ? 0 : EVP_PKEY_CTX_ctrl(pctx, NID_sm2, -1, SM2_PKEY_CTRL_Z_STATE, 0, NULL);
    ERR_pop_to_mark();
    if (state == 2)
        return 1;
    if (state != 1)
        return sm2_digest_z(ctx, pkey, id);

    if (EVP_PKEY_CTX_get1_id_len(pctx, &len) != 1 || len > INT_MAX
        || (len > 0 && ((buf = OPENSSL_malloc(len)) == NULL
                        || EVP_PKEY_CTX_get1_id(pctx, buf) != 1)))
        goto err;
    memset(&ctx_id, 0, sizeof(ctx_id));
    ctx_id.type = V_ASN1_OCTET_STRING;
    ctx_id.data = buf;
    ctx_id.length = (int)len;
    ret = sm2_digest_z(ctx, pkey, &ctx_id);
err:
    OPENSSL_free(buf);
    return ret;
}

/* Signs the item with the signing context ctx, H(Z || DER) (see sm2_digest_z_once). */
static int sm2_item_sign_ctx(const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
                             ASN1_BIT_STRING *signature, const void *data, EVP_MD_CTX *ctx,
                             const ASN1_OCTET_STRING *id)
{
    const EVP_MD *md = EVP_MD_CTX_get0_md(ctx);
    EVP_PKEY *pkey = EVP_PKEY_CTX_get0_pkey(EVP_MD_CTX_get_pkey_ctx(ctx));
    unsigned char *buf_in = NULL, *buf_out = NULL;
    size_t inl = 0, outl = 0;
    int sig_nid, inll, outll, ret = 0;

    if (md == NULL || pkey == NULL) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_CONTEXT_NOT_INITIALISED);
        goto err;
    }
    if (!OBJ_find_sigid_by_algs(&sig_nid, EVP_MD_get_type(md), EVP_PKEY_get_base_id(pkey))) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_DIGEST_AND_KEY_TYPE_NOT_SUPPORTED);
        goto err;
    }
    if (algor1 != NULL)
        X509_ALGOR_set0(algor1, OBJ_nid2obj(sig_nid), V_ASN1_UNDEF, NULL);
    if (algor2 != NULL)
        X509_ALGOR_set0(algor2, OBJ_nid2obj(sig_nid), V_ASN1_UNDEF, NULL);

    inll = ASN1_item_i2d(data, &buf_in, it);
    outll = EVP_PKEY_get_size(pkey);
    if (inll <= 0 || outll <= 0 || (buf_out = OPENSSL_malloc((size_t)outll)) == NULL) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
        goto err;
    }
    inl = (size_t)inll;
    outl = (size_t)outll;
    if (!sm2_digest_z_once(ctx, pkey, id)) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_EVP_LIB);
        goto err;
    }
    if (!EVP_DigestSignUpdate(ctx, buf_in, inl) || !EVP_DigestSignFinal(ctx, buf_out, &outl)) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_EVP_LIB);
        goto err;
    }
    ASN1_STRING_set0(signature, buf_out, (int)outl);
    buf_out = NULL;
    signature->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
    signature->flags |= ASN1_STRING_FLAG_BITS_LEFT;
    ret = (int)outl;
err:
    OPENSSL_clear_free(buf_in, inl);
    OPENSSL_clear_free(buf_out, outl);
    return ret;
}

static int sm2_item_sign(const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
                         ASN1_BIT_STRING *signature, const void *data,
                         const ASN1_OCTET_STRING *id, EVP_PKEY *pkey, const EVP_MD *md)
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    int ret = 0;

    if (ctx == NULL) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
        return 0;
    }
    if (EVP_DigestSignInit(ctx, NULL, md, NULL, pkey) <= 0) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_EVP_LIB);
        goto err;
    }
    ret = sm2_item_sign_ctx(it, algor1, algor2, signature, data, ctx, id);
err:
    EVP_MD_CTX_free(ctx);
    return ret;
}

int __wrap_ASN1_item_sign(const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
                          ASN1_BIT_STRING *signature, const void *data, EVP_PKEY *pkey,
                          const EVP_MD *md)
{
    sm2_setup_ensure();
    if (sm2_is_sm2_key(pkey))
        return sm2_item_sign(it, algor1, algor2, signature, data, NULL, pkey, md);
    return __real_ASN1_item_sign(it, algor1, algor2, signature, data, pkey, md);
}

int __wrap_ASN1_item_sign_ex(const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
                             ASN1_BIT_STRING *signature, const void *data,
                             const ASN1_OCTET_STRING *id, EVP_PKEY *pkey, const EVP_MD *md,
                             OSSL_LIB_CTX *libctx, const char *propq)
{
    sm2_setup_ensure();
    if (sm2_is_sm2_key(pkey))
        return sm2_item_sign(it, algor1, algor2, signature, data, id, pkey, md);
    return __real_ASN1_item_sign_ex(it, algor1, algor2, signature, data, id, pkey, md,
                                    libctx, propq);
}

int __wrap_ASN1_item_sign_ctx(const ASN1_ITEM *it, X509_ALGOR *algor1, X509_ALGOR *algor2,
                              ASN1_BIT_STRING *signature, const void *data, EVP_MD_CTX *ctx)
{
    EVP_PKEY_CTX *pctx = ctx != NULL ? EVP_MD_CTX_get_pkey_ctx(ctx) : NULL;

    sm2_setup_ensure();
    if (pctx != NULL && sm2_is_sm2_key(EVP_PKEY_CTX_get0_pkey(pctx)))
        return sm2_item_sign_ctx(it, algor1, algor2, signature, data, ctx, NULL);
    return __real_ASN1_item_sign_ctx(it, algor1, algor2, signature, data, ctx);
}

static int sm2_item_verify(const ASN1_ITEM *it, const X509_ALGOR *alg,
                           const ASN1_BIT_STRING *signature, const void *data,
                           const ASN1_OCTET_STRING *id, EVP_PKEY *pkey)
{
    EVP_MD_CTX *ctx = NULL;
    const EVP_MD *md;
    unsigned char *buf_in = NULL;
    size_t inl = 0;
    int digest_nid, key_nid, inll, ret = -1;

    if (signature->type == V_ASN1_BIT_STRING && (signature->flags & 0x7)) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_INVALID_BIT_STRING_BITS_LEFT);
        return -1;
    }
    if (!OBJ_find_sigid_algs(OBJ_obj2nid(alg->algorithm), &digest_nid, &key_nid)
        || digest_nid == NID_undef) {
        /* The SM2 method has no item verification of its own. */
        ERR_raise(ERR_LIB_ASN1, ASN1_R_UNKNOWN_SIGNATURE_ALGORITHM);
        return -1;
    }
    if ((md = EVP_get_digestbyname(OBJ_nid2sn(digest_nid))) == NULL) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_UNKNOWN_MESSAGE_DIGEST_ALGORITHM);
        return -1;
    }
    if (EVP_PKEY_type(key_nid) != EVP_PKEY_get_base_id(pkey)) {
        ERR_raise(ERR_LIB_ASN1, ASN1_R_WRONG_PUBLIC_KEY_TYPE);
        return -1;
    }
    if ((ctx = EVP_MD_CTX_new()) == NULL) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
        return -1;
    }
    if (EVP_DigestVerifyInit(ctx, NULL, md, NULL, pkey) <= 0) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_EVP_LIB);
        ret = 0;
        goto err;
    }
    if ((inll = ASN1_item_i2d(data, &buf_in, it)) <= 0 || buf_in == NULL) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_MALLOC_FAILURE);
        goto err;
    }
    inl = (size_t)inll;
    ret = 0;
    if (!sm2_digest_z(ctx, pkey, id) || !EVP_DigestVerifyUpdate(ctx, buf_in, inl)) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_EVP_LIB);
        goto err;
    }
    if (EVP_DigestVerifyFinal(ctx, signature->data, (size_t)signature->length) <= 0) {
        ERR_raise(ERR_LIB_ASN1, ERR_R_EVP_LIB);
        goto err;
    }
    ret = 1;
err:
    OPENSSL_clear_free(buf_in, inl);
    EVP_MD_CTX_free(ctx);
    return ret;
}

int __wrap_ASN1_item_verify(const ASN1_ITEM *it, const X509_ALGOR *alg,
                            const ASN1_BIT_STRING *signature, const void *data,
                            EVP_PKEY *pkey)
{
    sm2_setup_ensure();
    if (sm2_is_sm2_key(pkey) && alg != NULL && signature != NULL)
        return sm2_item_verify(it, alg, signature, data, NULL, pkey);
    return __real_ASN1_item_verify(it, alg, signature, data, pkey);
}

int __wrap_ASN1_item_verify_ex(const ASN1_ITEM *it, const X509_ALGOR *alg,
                               const ASN1_BIT_STRING *signature, const void *data,
                               const ASN1_OCTET_STRING *id, EVP_PKEY *pkey,
                               OSSL_LIB_CTX *libctx, const char *propq)
{
    sm2_setup_ensure();
    if (sm2_is_sm2_key(pkey) && alg != NULL && signature != NULL)
        return sm2_item_verify(it, alg, signature, data, id, pkey);
    return __real_ASN1_item_verify_ex(it, alg, signature, data, id, pkey, libctx, propq);
}
