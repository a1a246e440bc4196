/*
 * Module set-up: the SM2, SM3 and SM4 objects that the library lacks, the SM2 signature
 * triples, the SM2 key methods, the GM/T SM2 curve record and the set-up calls.
 *
 * The library already knows the SM2 key type and curve (NID_sm2, 1.2.156.10197.1.301),
 * SM2-with-SM3 (.1.501), SM3 and RSA-SM3; what it lacks is created here at load time,
 * before the program's first lookup, and looked up by OID or name afterwards.
 */
#include <stdio.h>
#include <string.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "sm2_meth_local.h"
#include "sm2_setup.h"

/* The recommended 256-bit curve of GM/T 0003.5: a header of field type, seed length,
 * parameter length and cofactor, then p, a, b, x of G, y of G and the order n. */
static const struct {
    int field_type;
    int seed_len;
    int param_len;
    unsigned int cofactor;
    unsigned char data[6 * 32];
} _EC_SM2 = {
    NID_X9_62_prime_field, 0, 32, 1,
    {
        /* p = 2^256 - 2^224 - 2^96 + 2^64 - 1 */
        0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        /* a = p - 3 */
        0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC,
        /* b */
        0x28, 0xE9, 0xFA, 0x9E, 0x9D, 0x9F, 0x5E, 0x34, 0x4D, 0x5A, 0x9E, 0x4B, 0xCF, 0x65, 0x09, 0xA7,
        0xF3, 0x97, 0x89, 0xF5, 0x15, 0xAB, 0x8F, 0x92, 0xDD, 0xBC, 0xBD, 0x41, 0x4D, 0x94, 0x0E, 0x93,
        /* x of G */
        0x32, 0xC4, 0xAE, 0x2C, 0x1F, 0x19, 0x81, 0x19, 0x5F, 0x99, 0x04, 0x46, 0x6A, 0x39, 0xC9, 0x94,
        0x8F, 0xE3, 0x0B, 0xBF, 0xF2, 0x66, 0x0B, 0xE1, 0x71, 0x5A, 0x45, 0x89, 0x33, 0x4C, 0x74, 0xC7,
        /* y of G */
        0xBC, 0x37, 0x36, 0xA2, 0xF4, 0xF6, 0x77, 0x9C, 0x59, 0xBD, 0xCE, 0xE3, 0x6B, 0x69, 0x21, 0x53,
        0xD0, 0xA9, 0x87, 0x7C, 0xC6, 0x2A, 0x47, 0x40, 0x02, 0xDF, 0x32, 0xE5, 0x21, 0x39, 0xF0, 0xA0,
        /* order n */
        0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0x72, 0x03, 0xDF, 0x6B, 0x21, 0xC6, 0x05, 0x2B, 0x53, 0xBB, 0xF4, 0x09, 0x39, 0xD5, 0x41, 0x23,
    }
};

/* Objects that the library lacks. "SM2"/"sm2" already name the key type, so the
 * SM2 object 1.2.156.10197.1.301.1 takes its name from the GM/T object list. */
static const struct sm2_object_row {
    const char *oid;
    const char *sn;
    const char *ln;
} sm2_object_rows[] = {
    { "1.2.156.10197.1.502", "SM2-SHA1", "sm2-sha1" },
    { "1.2.156.10197.1.503", "SM2-SHA256", "sm2-sha256" },
    { "1.2.156.10197.1.301.1", "SM2-1", "sm2-1" },
    { "1.2.156.10197.1.301.2", "SM2-ECDH", "sm2-ecdh" },
    { "1.2.156.10197.1.301.3", "SM2-ENC", "sm2-enc" },
    { "1.2.156.10197.1.400.104", "SM4-CBC-HMAC-SM3", "sm4-cbc-hmac-sm3" },
    { "1.2.156.10197.1.104", "SM4", "sm4" },
};

static CRYPTO_ONCE sm2_setup_once = CRYPTO_ONCE_STATIC_INIT;
static int sm2_setup_result;
static int sm2_1_nid = NID_undef;
static int sm2_init_done;

EC_GROUP *sm2_gmt_curve_new(void)
{
    const unsigned char *params = _EC_SM2.data;
    const int len = _EC_SM2.param_len;
    BN_CTX *ctx = NULL;
    BIGNUM *p = NULL, *a = NULL, *b = NULL, *x = NULL, *y = NULL, *order = NULL, *cofactor = NULL;
    EC_GROUP *group = NULL;
    EC_POINT *generator = NULL;
    int ok = 0;

    if ((ctx = BN_CTX_new()) == NULL)
        goto err;
    p = BN_bin2bn(params, len, NULL);
    a = BN_bin2bn(params + len, len, NULL);
    b = BN_bin2bn(params + 2 * len, len, NULL);
    x = BN_bin2bn(params + 3 * len, len, NULL);
    y = BN_bin2bn(params + 4 * len, len, NULL);
    order = BN_bin2bn(params + 5 * len, len, NULL);
    cofactor = BN_new();
    if (p == NULL || a == NULL || b == NULL || x == NULL || y == NULL || order == NULL
        || cofactor == NULL || !BN_set_word(cofactor, _EC_SM2.cofactor))
        goto err;
    if ((group = EC_GROUP_new_curve_GFp(p, a, b, ctx)) == NULL
        || (generator = EC_POINT_new(group)) == NULL
        || !EC_POINT_set_affine_coordinates(group, generator, x, y, ctx)
        || !EC_GROUP_set_generator(group, generator, order, cofactor))
        goto err;
    ok = 1;
err:
    if (!ok) {
        EC_GROUP_free(group);
        group = NULL;
    }
    EC_POINT_free(generator);
    BN_free(p);
    BN_free(a);
    BN_free(b);
    BN_free(x);
    BN_free(y);
    BN_free(order);
    BN_free(cofactor);
    BN_CTX_free(ctx);
    return group;
}

/* The object's number: the library's when it knows the OID, else a new object with
 * whichever of the names are still free. NID_undef on failure. */
static int sm2_object_nid(const struct sm2_object_row *row)
{
    const char *sn = row->sn, *ln = row->ln;
    int nid = OBJ_txt2nid(row->oid);

    if (nid != NID_undef)
        return nid;
    if (OBJ_sn2nid(sn) != NID_undef || OBJ_ln2nid(sn) != NID_undef)
        sn = NULL;
    if (OBJ_ln2nid(ln) != NID_undef || OBJ_sn2nid(ln) != NID_undef)
        ln = NULL;
    return OBJ_create(row->oid, sn, ln);
}

static int sm2_add_triple(const char *sig_oid, int digest_nid, int key_nid)
{
    int sig_nid = OBJ_txt2nid(sig_oid), found_digest, found_key;

    if (sig_nid == NID_undef)
        return 0;
    if (OBJ_find_sigid_algs(sig_nid, &found_digest, &found_key)
        && found_digest == digest_nid && found_key == key_nid)
        return 1;
    return OBJ_add_sigid(sig_nid, digest_nid, key_nid);
}

static void sm2_setup_run(void)
{
    EVP_PKEY_ASN1_METHOD *ameth = NULL;
    EVP_PKEY_METHOD *pmeth = NULL;
    size_t i;
    int ok = 1;

    for (i = 0; i < sizeof(sm2_object_rows) / sizeof(sm2_object_rows[0]); i++)
        if (sm2_object_nid(&sm2_object_rows[i]) == NID_undef)
            ok = 0;
    sm2_1_nid = OBJ_txt2nid("1.2.156.10197.1.301.1");

    if (!sm2_add_triple("1.2.156.10197.1.502", NID_sha1, NID_sm2)
        || !sm2_add_triple("1.2.156.10197.1.503", NID_sha256, NID_sm2)
        || !sm2_add_triple("1.2.156.10197.1.504", NID_sm3, NID_rsa))
        ok = 0;

    if (EVP_PKEY_meth_find(NID_sm2) == NULL) {
        if ((pmeth = ec_sm2_pkey_meth_new()) == NULL || !EVP_PKEY_meth_add0(pmeth)) {
            EVP_PKEY_meth_free(pmeth);
            ok = 0;
        }
    }
    ameth = eckey_sm2_asn1_meth_new();
    if (ameth == NULL || !EVP_PKEY_asn1_add0(ameth)) {
        EVP_PKEY_asn1_free(ameth);
        ok = 0;
    }
    if (!ok)
        ERR_raise(ERR_LIB_SM2, ERR_R_INIT_FAIL);
    sm2_setup_result = ok;
}

int sm2_setup_ensure(void)
{
    if (!CRYPTO_THREAD_run_once(&sm2_setup_once, sm2_setup_run))
        return 0;
    return sm2_setup_result;
}

/* The set-up runs when the program is loaded, ahead of the program's own static
 * initialisers (priority 101 comes before the default one), so that no caller can look
 * anything up before it. */
__attribute__((constructor(101))) static void sm2_setup_at_load(void)
{
    sm2_setup_ensure();
}

int sm2_nid_sm2_1(void)
{
    sm2_setup_ensure();
    return sm2_1_nid;
}

/* 1 when the OID is known to the library, as it was or as created now. */
static int sm2_register_object(const char *oid, const char *sn, const char *ln)
{
    if (OBJ_txt2nid(oid) != NID_undef)
        return 1;
    return OBJ_create(oid, sn, ln) != NID_undef;
}

int CRYPTO_sm2_init(void)
{
    if (sm2_init_done)
        return 1;
    if (!sm2_register_object("1.2.156.10197.1.301", "SM2", "sm2"))
        return 0;
    if (!sm2_register_object("1.2.156.10197.1.501", "SHA-SM2", "sha-sm2"))
        return 0;
    sm2_init_done = 1;
    return 1;
}

EC_KEY *SM2_KEY_get(int generate)
{
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
    EC_KEY *key;

    if (group != NULL)
        EC_GROUP_set_asn1_flag(group, OPENSSL_EC_NAMED_CURVE);
    if ((key = EC_KEY_new()) == NULL)
        goto err;
    if (group == NULL || !EC_KEY_set_group(key, group))
        goto err;
    EC_KEY_set_flags(key, EC_FLAG_SM2_RANGE);
    if (generate) {
        EC_KEY_generate_key(key);
        if (!EC_KEY_check_key(key))
            fwrite(" failed\n", 1, 8, stdout);
    }
err:
    EC_GROUP_free(group);
    return key;
}

int SM2_set_priv_public_key(EC_KEY *key, const BIGNUM *d)
{
    BN_CTX *ctx = BN_CTX_new();
    const EC_GROUP *group;
    EC_POINT *pub = NULL;
    int ok = 0;

    if (ctx == NULL || key == NULL || d == NULL
        || (group = EC_KEY_get0_group(key)) == NULL)
        goto err;
    if ((pub = EC_POINT_new(group)) == NULL
        || !EC_POINT_mul(group, pub, d, NULL, NULL, ctx)
        || !EC_KEY_set_public_key(key, pub)
        || !EC_KEY_set_private_key(key, d))
        goto err;
    ok = 1;
err:
    EC_POINT_free(pub);
    BN_CTX_free(ctx);
    return ok;
}
