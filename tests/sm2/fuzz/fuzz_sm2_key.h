/*
 * The fixed SM2 key of the SM2 fuzz targets, made once by the fuzzer's initialiser and
 * freed at exit; the seed corpora hold signatures and cipher texts made for it.
 */
#ifndef MV_FUZZ_SM2_KEY_H
#define MV_FUZZ_SM2_KEY_H

#include <stdlib.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

static const char kFuzzPrivateKey[] =
    "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8";

static EC_KEY *fuzz_key(void)
{
    static EC_KEY *key;
    BIGNUM *d = NULL;
    EC_POINT *pub = NULL;

    if (key != NULL)
        return key;
    key = EC_KEY_new_by_curve_name(NID_sm2);
    if (key == NULL || !BN_hex2bn(&d, kFuzzPrivateKey)
        || (pub = EC_POINT_new(EC_KEY_get0_group(key))) == NULL
        || !EC_POINT_mul(EC_KEY_get0_group(key), pub, d, NULL, NULL, NULL)
        || !EC_KEY_set_private_key(key, d) || !EC_KEY_set_public_key(key, pub))
        abort();
    BN_free(d);
    EC_POINT_free(pub);
    return key;
}

static void fuzz_free_key(void)
{
    EC_KEY_free(fuzz_key());
}

int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    fuzz_key();
    atexit(fuzz_free_key);
    return 0;
}

#endif
