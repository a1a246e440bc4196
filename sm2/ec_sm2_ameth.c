/*
 * The ASN.1 key method of the SM2 key type (NID_sm2). It starts as a copy of the
 * library's EC method and differs in these decisions: a NULL algorithm parameter means
 * the SM2 curve, decoded keys are SM2 keys, PKCS#8 names the algorithm with the SM2 OID,
 * and the default digest is SM3, mandatory. Slots not set here are the EC method's.
 */
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include "sm2_meth_local.h"

/* An EC key holding only the group that an algorithm parameter names; null on failure. */
static EC_KEY *eckey_type2param(int ptype, const void *pval)
{
    EC_KEY *eckey = NULL;
    EC_GROUP *group = NULL;
    int curve;

    if (ptype == V_ASN1_SEQUENCE) {
        const ASN1_STRING *pstr = pval;
        const unsigned char *pm = pstr->data;

        if ((eckey = d2i_ECParameters(NULL, &pm, pstr->length)) == NULL) {
            ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
            return NULL;
        }
        return eckey;
    }
    if (ptype == V_ASN1_OBJECT)
        curve = OBJ_obj2nid(pval);
    else if (ptype == V_ASN1_NULL)
        curve = NID_sm2;
    else {
        ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
        return NULL;
    }
    if ((eckey = EC_KEY_new()) == NULL) {
        ERR_raise(ERR_LIB_EC, ERR_R_MALLOC_FAILURE);
        return NULL;
    }
    if ((group = EC_GROUP_new_by_curve_name(curve)) == NULL)
        goto err;
    EC_GROUP_set_asn1_flag(group, OPENSSL_EC_NAMED_CURVE);
    if (!EC_KEY_set_group(eckey, group))
        goto err;
    EC_GROUP_free(group);
    return eckey;
err:
    EC_GROUP_free(group);
    EC_KEY_free(eckey);
    return NULL;
}

/* The algorithm parameter of a key's group: the curve's OID for a named curve, else the
 * explicit ECParameters. */
static int eckey_param2type(int *pptype, void **ppval, const EC_KEY *eckey)
{
    const EC_GROUP *group;
    ASN1_STRING *pstr = NULL;
    int nid;

    if (eckey == NULL || (group = EC_KEY_get0_group(eckey)) == NULL) {
        ERR_raise(ERR_LIB_EC, EC_R_MISSING_PARAMETERS);
        return 0;
    }
    if (EC_GROUP_get_asn1_flag(group) && (nid = EC_GROUP_get_curve_name(group)) != NID_undef) {
        *ppval = OBJ_nid2obj(nid);
        *pptype = V_ASN1_OBJECT;
        return 1;
    }
    if ((pstr = ASN1_STRING_new()) == NULL)
        return 0;
    pstr->length = i2d_ECParameters(eckey, &pstr->data);
    if (pstr->length <= 0) {
        ASN1_STRING_free(pstr);
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
        return 0;
    }
    *ppval = pstr;
    *pptype = V_ASN1_SEQUENCE;
    return 1;
}

int eckey_sm2_pub_decode(EVP_PKEY *pkey, const X509_PUBKEY *pubkey)
{
    const unsigned char *p = NULL;
    const void *pval;
    int ptype, pklen;
    EC_KEY *eckey = NULL;
    X509_ALGOR *palg;

    if (!X509_PUBKEY_get0_param(NULL, &p, &pklen, &palg, pubkey))
        return 0;
    X509_ALGOR_get0(NULL, &ptype, &pval, palg);
    if ((eckey = eckey_type2param(ptype, pval)) == NULL) {
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
        return 0;
    }
    if (!o2i_ECPublicKey(&eckey, &p, pklen)) {
        ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
        goto err;
    }
    if (!sm2_pkey_assign_typed(pkey, NID_sm2, eckey))
        goto err;
    return 1;
err:
    EC_KEY_free(eckey);
    return 0;
}

static int eckey_sm2_pub_encode(X509_PUBKEY *pubkey, const EVP_PKEY *pkey)
{
    const EC_KEY *eckey = sm2_pkey_get0_eckey(pkey);
    void *pval = NULL;
    int ptype = V_ASN1_UNDEF, penclen;
    unsigned char *penc = NULL, *p;

    if (!eckey_param2type(&ptype, &pval, eckey)) {
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
        return 0;
    }
    if ((penclen = i2o_ECPublicKey(eckey, NULL)) <= 0)
        goto err;
    if ((penc = OPENSSL_malloc(penclen)) == NULL)
        goto err;
    p = penc;
    if (i2o_ECPublicKey(eckey, &p) <= 0)
        goto err;
    if (X509_PUBKEY_set0_param(pubkey, OBJ_nid2obj(NID_X9_62_id_ecPublicKey),
                               ptype, pval, penc, penclen))
        return 1;
err:
    if (ptype == V_ASN1_SEQUENCE)
        ASN1_STRING_free(pval);
    OPENSSL_free(penc);
    return 0;
}

static int eckey_sm2_pub_cmp(const EVP_PKEY *a, const EVP_PKEY *b)
{
    const EC_KEY *ka = sm2_pkey_get0_eckey(a), *kb = sm2_pkey_get0_eckey(b);
    const EC_POINT *pa = ka != NULL ? EC_KEY_get0_public_key(ka) : NULL;
    const EC_POINT *pb = kb != NULL ? EC_KEY_get0_public_key(kb) : NULL;
    const EC_GROUP *group = kb != NULL ? EC_KEY_get0_group(kb) : NULL;
    int r;

    if (group == NULL || pa == NULL || pb == NULL)
        return -2;
    r = EC_POINT_cmp(group, pa, pb, NULL);
    if (r == 0)
        return 1;
    if (r == 1)
        return 0;
    return -2;
}

/* The public or private key in the EC method's form: heading with the bits of the order,
 * "priv:" and "pub: " with their bytes, then the curve. The EC method's parameter print
 * serves the parameters. */
static int sm2_key_print(BIO *bp, const EC_KEY *eckey, int off, int with_private)
{
    const EC_GROUP *group;
    unsigned char *priv = NULL, *pub = NULL;
    size_t privlen = 0, publen = 0;
    int ret = 0, reason = ERR_R_BIO_LIB;

    if (eckey == NULL || (group = EC_KEY_get0_group(eckey)) == NULL) {
        reason = ERR_R_PASSED_NULL_PARAMETER;
        goto err;
    }
    if (EC_KEY_get0_public_key(eckey) != NULL) {
        publen = EC_KEY_key2buf(eckey, EC_KEY_get_conv_form(eckey), &pub, NULL);
        if (publen == 0) {
            reason = ERR_R_EC_LIB;
            goto err;
        }
    }
    if (with_private && EC_KEY_get0_private_key(eckey) != NULL) {
        privlen = EC_KEY_priv2buf(eckey, &priv);
        if (privlen == 0) {
            reason = ERR_R_EC_LIB;
            goto err;
        }
    }
    if (!BIO_indent(bp, off, 128)
        || BIO_printf(bp, "%s: (%d bit)\n", with_private ? "Private-Key" : "Public-Key",
                      EC_GROUP_order_bits(group)) <= 0)
        goto err;
    if (privlen != 0 && (BIO_printf(bp, "%*spriv:\n", off, "") <= 0
                         || !ASN1_buf_print(bp, priv, privlen, off + 4)))
        goto err;
    if (publen != 0 && (BIO_printf(bp, "%*spub: \n", off, "") <= 0
                        || !ASN1_buf_print(bp, pub, publen, off + 4)))
        goto err;
    if (!ECPKParameters_print(bp, group, off))
        goto err;
    ret = 1;
err:
    if (!ret)
        ERR_raise(ERR_LIB_EC, reason);
    OPENSSL_clear_free(priv, privlen);
    OPENSSL_free(pub);
    return ret;
}

static int eckey_sm2_pub_print(BIO *bp, const EVP_PKEY *pkey, int indent, ASN1_PCTX *ctx)
{
    (void)ctx;
    return sm2_key_print(bp, sm2_pkey_get0_eckey(pkey), indent, 0);
}

static int eckey_sm2_priv_print(BIO *bp, const EVP_PKEY *pkey, int indent, ASN1_PCTX *ctx)
{
    (void)ctx;
    return sm2_key_print(bp, sm2_pkey_get0_eckey(pkey), indent, 1);
}

static int eckey_sm2_size(const EVP_PKEY *pkey)
{
    return ECDSA_size(sm2_pkey_get0_eckey(pkey));
}

static int eckey_sm2_bits(const EVP_PKEY *pkey)
{
    const EC_KEY *eckey = sm2_pkey_get0_eckey(pkey);
    const EC_GROUP *group = eckey != NULL ? EC_KEY_get0_group(eckey) : NULL;

    if (group == NULL) {
        ERR_clear_error();
        return 0;
    }
    return EC_GROUP_order_bits(group);
}

int eckey_sm2_priv_decode(EVP_PKEY *pkey, const PKCS8_PRIV_KEY_INFO *p8)
{
    const unsigned char *p = NULL;
    const void *pval;
    int ptype, pklen, ok = 0;
    const X509_ALGOR *palg;
    EC_KEY *eckey = NULL;
    EC_POINT *pub = NULL;
    const EC_GROUP *group;

    if (!PKCS8_pkey_get0(NULL, &p, &pklen, &palg, p8))
        return 0;
    X509_ALGOR_get0(NULL, &ptype, &pval, palg);
    if ((eckey = eckey_type2param(ptype, pval)) == NULL) {
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
        goto err;
    }
    if (d2i_ECPrivateKey(&eckey, &p, pklen) == NULL) {
        ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
        goto err;
    }
    if (EC_KEY_get0_public_key(eckey) == NULL) {
        /* The inner key leaves the public point out: compute it as d*G. */
        group = EC_KEY_get0_group(eckey);
        if ((pub = EC_POINT_new(group)) == NULL
            || !EC_POINT_copy(pub, EC_GROUP_get0_generator(group))
            || !EC_POINT_mul(group, pub, EC_KEY_get0_private_key(eckey), NULL, NULL, NULL)
            || !EC_KEY_set_public_key(eckey, pub)) {
            /* The failed step, then the decoder's general failure. */
            ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
            ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
            goto err;
        }
    }
    if (!sm2_pkey_assign_typed(pkey, NID_sm2, eckey))
        goto err;
    eckey = NULL;
    ok = 1;
err:
    EC_POINT_free(pub);
    EC_KEY_free(eckey);
    return ok;
}

static int eckey_sm2_priv_encode(PKCS8_PRIV_KEY_INFO *p8, const EVP_PKEY *pkey)
{
    EC_KEY *eckey = sm2_pkey_get0_eckey(pkey);
    void *pval = NULL;
    int ptype = V_ASN1_UNDEF, eplen = 0, ok = 0;
    unsigned int old_flags;
    unsigned char *ep = NULL, *p;

    if (!eckey_param2type(&ptype, &pval, eckey)) {
        ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
        return 0;
    }
    /* The parameters travel in the algorithm identifier, not in the inner key. */
    old_flags = EC_KEY_get_enc_flags(eckey);
    EC_KEY_set_enc_flags(eckey, old_flags | EC_PKEY_NO_PARAMETERS);
    if ((eplen = i2d_ECPrivateKey(eckey, NULL)) <= 0) {
        eplen = 0;
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
        goto err;
    }
    if ((ep = OPENSSL_malloc(eplen)) == NULL) {
        ERR_raise(ERR_LIB_EC, ERR_R_MALLOC_FAILURE);
        goto err;
    }
    p = ep;
    if (!i2d_ECPrivateKey(eckey, &p)) {
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
        goto err;
    }
    if (!PKCS8_pkey_set0(p8, OBJ_nid2obj(NID_sm2), 0, ptype, pval, ep, eplen))
        goto err;
    ok = 1;
err:
    EC_KEY_set_enc_flags(eckey, old_flags);
    if (!ok) {
        if (ptype == V_ASN1_SEQUENCE)
            ASN1_STRING_free(pval);
        OPENSSL_clear_free(ep, (size_t)eplen);
    }
    return ok;
}

/* The signature algorithm of (digest of alg1, SM2 key) into alg2, without parameter. */
static int sm2_signer_algs(X509_ALGOR *alg1, X509_ALGOR *alg2)
{
    int digest_nid, sig_nid;

    if (alg1 == NULL || alg1->algorithm == NULL)
        return -1;
    if ((digest_nid = OBJ_obj2nid(alg1->algorithm)) == NID_undef)
        return -1;
    if (!OBJ_find_sigid_by_algs(&sig_nid, digest_nid, NID_sm2))
        return -1;
    X509_ALGOR_set0(alg2, OBJ_nid2obj(sig_nid), V_ASN1_UNDEF, NULL);
    return 1;
}

static int eckey_sm2_ctrl(EVP_PKEY *pkey, int op, long arg1, void *arg2)
{
    X509_ALGOR *alg1, *alg2;

    (void)pkey;
    switch (op) {
    case ASN1_PKEY_CTRL_PKCS7_SIGN:
        if (arg1 != 0)
            return 1;
        PKCS7_SIGNER_INFO_get0_algs(arg2, NULL, &alg1, &alg2);
        return sm2_signer_algs(alg1, alg2);
    case ASN1_PKEY_CTRL_CMS_SIGN:
        if (arg1 != 0)
            return 1;
        CMS_SignerInfo_get0_algs(arg2, NULL, NULL, &alg1, &alg2);
        return sm2_signer_algs(alg1, alg2);
    case ASN1_PKEY_CTRL_DEFAULT_MD_NID:
        *(int *)arg2 = NID_sm3;
        return 2;
    case ASN1_PKEY_CTRL_CMS_ENVELOPE:
        if (arg1 == 0 || arg1 == 1) {
            /* Key agreement for enveloped data works on EC key contexts only. */
            ERR_raise(ERR_LIB_EC, EC_R_OPERATION_NOT_SUPPORTED);
            return 0;
        }
        return -2;
    case ASN1_PKEY_CTRL_CMS_RI_TYPE:
        *(int *)arg2 = CMS_RECIPINFO_AGREE;
        return 1;
    default:
        return -2;
    }
}

EVP_PKEY_ASN1_METHOD *eckey_sm2_asn1_meth_new(void)
{
    const EVP_PKEY_ASN1_METHOD *ec = EVP_PKEY_asn1_find(NULL, EVP_PKEY_EC);
    EVP_PKEY_ASN1_METHOD *ameth;

    if (ec == NULL || (ameth = EVP_PKEY_asn1_new(NID_sm2, 0, "SM2", "SM2 algorithm")) == NULL)
        return NULL;
    EVP_PKEY_asn1_copy(ameth, ec);
    EVP_PKEY_asn1_set_public(ameth, eckey_sm2_pub_decode, eckey_sm2_pub_encode,
                             eckey_sm2_pub_cmp, eckey_sm2_pub_print,
                             eckey_sm2_size, eckey_sm2_bits);
    EVP_PKEY_asn1_set_private(ameth, eckey_sm2_priv_decode, eckey_sm2_priv_encode,
                              eckey_sm2_priv_print);
    EVP_PKEY_asn1_set_ctrl(ameth, eckey_sm2_ctrl);
    EVP_PKEY_asn1_set_item(ameth, NULL, NULL);
    return ameth;
}
