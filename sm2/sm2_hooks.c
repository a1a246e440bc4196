/*
 * Changed library functions for SM2 keys: public-key and PKCS#8 decoding, certificate
 * keys, key comparison and the EC key accessors. The program links with
 * -Wl,--wrap=NAME for each of them (see link-wrap.cmake), so that the program's calls and
 * the library's own calls between its object files arrive here; __real_NAME is the
 * library's function.
 */
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "sm2_keys.h"
#include "sm2_meth_local.h"
#include "sm2_setup.h"

SM2_CHANGED(EVP_PKEY *, X509_get_pubkey, (X509 *x))
SM2_CHANGED(EVP_PKEY *, X509_PUBKEY_get, (const X509_PUBKEY *key))
SM2_CHANGED(EVP_PKEY *, X509_PUBKEY_get0, (const X509_PUBKEY *key))
SM2_CHANGED(int, EVP_PKEY_cmp, (const EVP_PKEY *a, const EVP_PKEY *b))
SM2_CHANGED(int, EVP_PKEY_eq, (const EVP_PKEY *a, const EVP_PKEY *b))
SM2_CHANGED(EC_KEY *, EVP_PKEY_get1_EC_KEY, (EVP_PKEY *pkey))
SM2_CHANGED(const EC_KEY *, EVP_PKEY_get0_EC_KEY, (const EVP_PKEY *pkey))
SM2_CHANGED(const EC_KEY *, evp_pkey_get0_EC_KEY_int, (const EVP_PKEY *pkey))
SM2_CHANGED(EVP_PKEY *, EVP_PKCS82PKEY, (const PKCS8_PRIV_KEY_INFO *p8))
SM2_CHANGED(EVP_PKEY *, EVP_PKCS82PKEY_ex,
            (const PKCS8_PRIV_KEY_INFO *p8, OSSL_LIB_CTX *libctx, const char *propq))

/* 1 for the algorithm objects of SM2 keys: the key type's own and 1.2.156.10197.1.301.1. */
static int sm2_is_sm2_algorithm(int nid)
{
    return nid == NID_sm2 || (nid != NID_undef && nid == sm2_nid_sm2_1());
}

int sm2_algor_key_type(const X509_ALGOR *alg)
{
    const ASN1_OBJECT *algorithm;
    const void *pval;
    int ptype, type;

    X509_ALGOR_get0(&algorithm, &ptype, &pval, alg);
    type = OBJ_obj2nid(algorithm);
    if (ptype == V_ASN1_OBJECT && OBJ_obj2nid(pval) == NID_sm2)
        type = NID_sm2;
    return sm2_is_sm2_algorithm(type) ? NID_sm2 : type;
}

static int sm2_key_on_sm2_curve(const EVP_PKEY *pkey)
{
    const EC_KEY *eckey = sm2_pkey_get0_eckey(pkey);
    const EC_GROUP *group = eckey != NULL ? EC_KEY_get0_group(eckey) : NULL;

    return group != NULL && EC_GROUP_get_curve_name(group) == NID_sm2;
}

/* A new key object of the given type holding a copy of the EC key of pkey. */
static EVP_PKEY *sm2_pkey_retyped_copy(const EVP_PKEY *pkey, int type)
{
    EVP_PKEY *copy = EVP_PKEY_new();
    EC_KEY *eckey = EC_KEY_dup(sm2_pkey_get0_eckey(pkey));

    if (copy == NULL || eckey == NULL || !sm2_pkey_assign_typed(copy, type, eckey)) {
        EC_KEY_free(eckey);
        EVP_PKEY_free(copy);
        return NULL;
    }
    return copy;
}

EVP_PKEY *__wrap_X509_get_pubkey(X509 *x)
{
    EVP_PKEY *pkey, *sm2;

    sm2_setup_ensure();
    if ((pkey = __real_X509_get_pubkey(x)) == NULL)
        return NULL;
    if (!sm2_key_on_sm2_curve(pkey))
        return pkey;
    /* Every key on the SM2 curve is handed out as a fresh SM2 key. */
    sm2 = sm2_pkey_retyped_copy(pkey, NID_sm2);
    EVP_PKEY_free(pkey);
    return sm2;
}

/* 1 when the EC method can read a curve from the parameters of alg. */
static int sm2_algor_has_curve(const X509_ALGOR *alg)
{
    const void *pval;
    const unsigned char *pm;
    EC_GROUP *group = NULL;
    int ptype;

    X509_ALGOR_get0(NULL, &ptype, &pval, alg);
    if (ptype == V_ASN1_OBJECT)
        group = EC_GROUP_new_by_curve_name(OBJ_obj2nid(pval));
    else if (ptype == V_ASN1_SEQUENCE) {
        pm = ((const ASN1_STRING *)pval)->data;
        group = d2i_ECPKParameters(NULL, &pm, ((const ASN1_STRING *)pval)->length);
    }
    EC_GROUP_free(group);
    return group != NULL;
}

/* An EC public key whose parameters name no usable curve lies on the SM2 curve; the key
 * object gets the given type. */
static EVP_PKEY *sm2_pubkey_on_default_curve(const X509_PUBKEY *key, int type)
{
    const unsigned char *p;
    int pklen;
    EC_KEY *eckey = NULL;
    EVP_PKEY *pkey = NULL;

    if (!X509_PUBKEY_get0_param(NULL, &p, &pklen, NULL, key))
        return NULL;
    if ((eckey = SM2_KEY_get(0)) == NULL) {
        ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
        return NULL;
    }
    if (!o2i_ECPublicKey(&eckey, &p, pklen)) {
        ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
        goto err;
    }
    if ((pkey = EVP_PKEY_new()) == NULL || !sm2_pkey_assign_typed(pkey, type, eckey))
        goto err;
    return pkey;
err:
    EVP_PKEY_free(pkey);
    EC_KEY_free(eckey);
    return NULL;
}

/* A public (pub) or private (p8) key of an SM2 algorithm, decoded by the SM2 method;
 * errors are those of the library's public-key or PKCS#8 decoder. */
static EVP_PKEY *sm2_decode_sm2_key(const X509_PUBKEY *pub, const PKCS8_PRIV_KEY_INFO *p8)
{
    const int lib = p8 != NULL ? ERR_LIB_EVP : ERR_LIB_X509;
    EVP_PKEY *pkey = EVP_PKEY_new();

    if (pkey == NULL) {
        ERR_raise(lib, ERR_R_MALLOC_FAILURE);
        return NULL;
    }
    if (!EVP_PKEY_set_type(pkey, NID_sm2)
        || !(p8 != NULL ? eckey_sm2_priv_decode(pkey, p8) : eckey_sm2_pub_decode(pkey, pub))) {
        ERR_raise(lib, p8 != NULL ? EVP_R_PRIVATE_KEY_DECODE_ERROR
                                  : X509_R_PUBLIC_KEY_DECODE_ERROR);
        EVP_PKEY_free(pkey);
        return NULL;
    }
    return pkey;
}

/*
 * The library decodes a public key once, when the structure is read, and keeps the result
 * in it; X509_PUBKEY_get0 (and through it X509_get0_pubkey, the certificate checks and
 * X509_check_private_key) hands that key out borrowed. Keys the library cannot decode
 * (SM2 algorithm objects, EC keys without a usable curve) are decoded here and kept in the
 * same place, where the structure frees them. The place is the third member of the
 * structure, after the algorithm and the key bits; its position is checked against the
 * library once, and without a match such keys are not kept (the borrowed paths then give
 * null for them, as the library does).
 */
struct sm2_x509_pubkey_head {
    X509_ALGOR *algor;
    ASN1_BIT_STRING *public_key;
    EVP_PKEY *pkey;
};

static CRYPTO_ONCE sm2_pubkey_layout_once = CRYPTO_ONCE_STATIC_INIT;
static int sm2_pubkey_layout_known;

static void sm2_pubkey_layout_check(void)
{
    EC_KEY *eckey = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    EVP_PKEY *pkey = EVP_PKEY_new();
    X509_PUBKEY *pub = NULL;
    X509_ALGOR *alg = NULL;
    const unsigned char *bits = NULL;
    int bitslen = 0;
    const struct sm2_x509_pubkey_head *head;

    ERR_set_mark();
    if (eckey == NULL || pkey == NULL
        || !EC_KEY_set_public_key(eckey, EC_GROUP_get0_generator(EC_KEY_get0_group(eckey)))
        || !EVP_PKEY_set1_EC_KEY(pkey, eckey) || !X509_PUBKEY_set(&pub, pkey)
        || !X509_PUBKEY_get0_param(NULL, &bits, &bitslen, &alg, pub))
        goto err;
    head = (const struct sm2_x509_pubkey_head *)pub;
    sm2_pubkey_layout_known = head->algor == alg && head->public_key != NULL
                              && head->public_key->data == bits && head->pkey != NULL
                              && head->pkey == __real_X509_PUBKEY_get0(pub);
err:
    ERR_pop_to_mark();
    X509_PUBKEY_free(pub);
    EVP_PKEY_free(pkey);
    EC_KEY_free(eckey);
}

/* Keeps decoded in the structure unless another thread was first; the kept key. */
static EVP_PKEY *sm2_pubkey_keep(const X509_PUBKEY *key, EVP_PKEY *decoded)
{
    struct sm2_x509_pubkey_head *head = (struct sm2_x509_pubkey_head *)key;
    EVP_PKEY *expected = NULL;

    if (__atomic_compare_exchange_n(&head->pkey, &expected, decoded, 0, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
        return decoded;
    EVP_PKEY_free(decoded);
    return expected;
}

EVP_PKEY *__wrap_X509_PUBKEY_get0(const X509_PUBKEY *key)
{
    X509_ALGOR *alg;
    EVP_PKEY *pkey;
    int type;

    sm2_setup_ensure();
    if (key == NULL || !X509_PUBKEY_get0_param(NULL, NULL, NULL, &alg, key)
        || !CRYPTO_THREAD_run_once(&sm2_pubkey_layout_once, sm2_pubkey_layout_check)
        || !sm2_pubkey_layout_known)
        return __real_X509_PUBKEY_get0(key);
    if (__atomic_load_n(&((const struct sm2_x509_pubkey_head *)key)->pkey, __ATOMIC_ACQUIRE)
        != NULL)
        return __real_X509_PUBKEY_get0(key);
    ERR_set_mark();
    if ((pkey = __real_X509_PUBKEY_get0(key)) != NULL) {
        ERR_pop_to_mark();
        return pkey;
    }
    /* Certificate users get the key as X509_get_pubkey gives it: an SM2 key whenever it
     * lies on the SM2 curve. */
    type = sm2_algor_key_type(alg);
    if (type == NID_sm2)
        pkey = sm2_decode_sm2_key(key, NULL);
    else if (type == NID_X9_62_id_ecPublicKey && !sm2_algor_has_curve(alg))
        pkey = sm2_pubkey_on_default_curve(key, NID_sm2);
    if (pkey == NULL) {
        ERR_clear_last_mark();
        return NULL;
    }
    ERR_pop_to_mark();
    return sm2_pubkey_keep(key, pkey);
}

EVP_PKEY *__wrap_X509_PUBKEY_get(const X509_PUBKEY *key)
{
    X509_ALGOR *alg;
    EVP_PKEY *kept, *pkey;
    int type;

    sm2_setup_ensure();
    if (key == NULL || !X509_PUBKEY_get0_param(NULL, NULL, NULL, &alg, key))
        return __real_X509_PUBKEY_get(key);
    type = sm2_algor_key_type(alg);
    if (type != NID_sm2 && (type != NID_X9_62_id_ecPublicKey || sm2_algor_has_curve(alg)))
        return __real_X509_PUBKEY_get(key);

    /* Keys the library cannot decode are decoded once and kept in the structure by
     * X509_PUBKEY_get0. A call that gets its key leaves the error queue as it was. */
    ERR_set_mark();
    kept = __wrap_X509_PUBKEY_get0(key);
    pkey = NULL;
    if (type == NID_sm2) {
        if (kept != NULL && EVP_PKEY_get_id(kept) == NID_sm2 && EVP_PKEY_up_ref(kept))
            pkey = kept;
    } else if (sm2_key_on_sm2_curve(kept)) {
        /* Without a usable curve the kept key is an SM2 key on the SM2 curve; this call
         * hands out an EC key with a copy of it. */
        pkey = sm2_pkey_retyped_copy(kept, EVP_PKEY_EC);
    }
    ERR_pop_to_mark();
    if (pkey != NULL)
        return pkey;
    /* Nothing usable is kept (a key of another type that the library decoded, a structure
     * whose layout is not known, a key that does not decode): decode it here, which
     * reports why it fails. */
    return type == NID_sm2 ? sm2_decode_sm2_key(key, NULL)
                           : sm2_pubkey_on_default_curve(key, EVP_PKEY_EC);
}

/* Whether keys of types ta and tb, at least one of them SM2, are of comparable types:
 * equal types, or an SM2 key and an EC key on the SM2 curve in either order (so that a
 * certificate on the SM2 curve matches its id-ecPublicKey PKCS#8 key, as in
 * X509_check_private_key and PKCS12_parse). An EC key on another curve is of another
 * type in both orders. */
static int sm2_pkey_types_comparable(const EVP_PKEY *a, int ta, const EVP_PKEY *b, int tb)
{
    if (ta == tb)
        return 1;
    if (ta == NID_sm2 && tb == EVP_PKEY_EC)
        return sm2_key_on_sm2_curve(b);
    if (ta == EVP_PKEY_EC && tb == NID_sm2)
        return sm2_key_on_sm2_curve(a);
    return 0;
}

/* Compares keys of which at least one is an SM2 key: -1 for keys of types that do not
 * compare, then groups and public points as the EC method does. */
static int sm2_pkey_cmp(const EVP_PKEY *a, const EVP_PKEY *b)
{
    int ta = EVP_PKEY_get_base_id(a), tb = EVP_PKEY_get_base_id(b);
    const EC_KEY *ka, *kb;
    const EC_GROUP *ga, *gb;
    const EC_POINT *pa, *pb;
    int r;

    ka = sm2_pkey_get0_eckey(a);
    kb = sm2_pkey_get0_eckey(b);
    ga = ka != NULL ? EC_KEY_get0_group(ka) : NULL;
    gb = kb != NULL ? EC_KEY_get0_group(kb) : NULL;
    if (!sm2_pkey_types_comparable(a, ta, b, tb))
        return -1;
    if (ga == NULL || gb == NULL)
        return -2;
    if (EC_GROUP_cmp(ga, gb, NULL) != 0)
        return 0;
    pa = EC_KEY_get0_public_key(ka);
    pb = EC_KEY_get0_public_key(kb);
    if (pa == NULL || pb == NULL)
        return -2;
    r = EC_POINT_cmp(gb, pa, pb, NULL);
    if (r == 0)
        return 1;
    return r == 1 ? 0 : -2;
}

static int sm2_pkey_cmp_applies(const EVP_PKEY *a, const EVP_PKEY *b)
{
    return a != NULL && b != NULL
           && (EVP_PKEY_get_base_id(a) == NID_sm2 || EVP_PKEY_get_base_id(b) == NID_sm2);
}

int __wrap_EVP_PKEY_cmp(const EVP_PKEY *a, const EVP_PKEY *b)
{
    if (sm2_pkey_cmp_applies(a, b))
        return sm2_pkey_cmp(a, b);
    return __real_EVP_PKEY_cmp(a, b);
}

int __wrap_EVP_PKEY_eq(const EVP_PKEY *a, const EVP_PKEY *b)
{
    if (sm2_pkey_cmp_applies(a, b))
        return sm2_pkey_cmp(a, b);
    return __real_EVP_PKEY_eq(a, b);
}

EC_KEY *__wrap_EVP_PKEY_get1_EC_KEY(EVP_PKEY *pkey)
{
    if (pkey != NULL && EVP_PKEY_get_base_id(pkey) == NID_sm2)
        return EVP_PKEY_get1_EC_SM2_KEY(pkey);
    return __real_EVP_PKEY_get1_EC_KEY(pkey);
}

const EC_KEY *__wrap_EVP_PKEY_get0_EC_KEY(const EVP_PKEY *pkey)
{
    if (pkey != NULL && EVP_PKEY_get_base_id(pkey) == NID_sm2)
        return sm2_pkey_get0_eckey(pkey);
    return __real_EVP_PKEY_get0_EC_KEY(pkey);
}

const EC_KEY *__wrap_evp_pkey_get0_EC_KEY_int(const EVP_PKEY *pkey)
{
    if (pkey != NULL && EVP_PKEY_get_base_id(pkey) == NID_sm2)
        return sm2_pkey_get0_eckey(pkey);
    return __real_evp_pkey_get0_EC_KEY_int(pkey);
}

/* PKCS#8: the SM2 algorithm objects give SM2 keys; id-ecPublicKey gives EC keys, also
 * on the SM2 curve. */
static EVP_PKEY *sm2_pkcs82pkey(const PKCS8_PRIV_KEY_INFO *p8, EVP_PKEY *(*real)(
    const PKCS8_PRIV_KEY_INFO *, OSSL_LIB_CTX *, const char *), OSSL_LIB_CTX *libctx,
    const char *propq)
{
    const ASN1_OBJECT *algorithm;
    EVP_PKEY *pkey, *ec;
    int type;

    sm2_setup_ensure();
    if (p8 == NULL || !PKCS8_pkey_get0(&algorithm, NULL, NULL, NULL, p8))
        return real(p8, libctx, propq);
    type = OBJ_obj2nid(algorithm);
    if (sm2_is_sm2_algorithm(type))
        return sm2_decode_sm2_key(NULL, p8);
    pkey = real(p8, libctx, propq);
    if (type == NID_X9_62_id_ecPublicKey && pkey != NULL
        && EVP_PKEY_get_base_id(pkey) == NID_sm2) {
        ec = sm2_pkey_retyped_copy(pkey, EVP_PKEY_EC);
        EVP_PKEY_free(pkey);
        pkey = ec;
    }
    return pkey;
}

static EVP_PKEY *sm2_real_pkcs82pkey(const PKCS8_PRIV_KEY_INFO *p8, OSSL_LIB_CTX *libctx,
                                     const char *propq)
{
    (void)libctx;
    (void)propq;
    return __real_EVP_PKCS82PKEY(p8);
}

EVP_PKEY *__wrap_EVP_PKCS82PKEY(const PKCS8_PRIV_KEY_INFO *p8)
{
    return sm2_pkcs82pkey(p8, sm2_real_pkcs82pkey, NULL, NULL);
}

EVP_PKEY *__wrap_EVP_PKCS82PKEY_ex(const PKCS8_PRIV_KEY_INFO *p8, OSSL_LIB_CTX *libctx,
                                   const char *propq)
{
    return sm2_pkcs82pkey(p8, __real_EVP_PKCS82PKEY_ex, libctx, propq);
}
