/*
 * SM2_verify over arbitrary bytes as the DER signature, with a fixed SM2 key and digest.
 * The seed corpus holds valid signatures of that digest under that key.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include "sm2.h"

static const char kPrivateKey[] =
    "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8";
static const unsigned char kDigest[32] = {
    0xF0, 0xB4, 0x3E, 0x94, 0xBA, 0x45, 0xAC, 0xCA, 0xAC, 0xE6, 0x92, 0xED, 0x53, 0x43, 0x82, 0xEB,
    0x17, 0xE6, 0xAB, 0x5A, 0x19, 0xCE, 0x7B, 0x31, 0xF4, 0x48, 0x6F, 0xDF, 0xC0, 0xD2, 0x86, 0x40,
};

static EC_KEY *fuzz_key(void)
{
    static EC_KEY *key;
    BIGNUM *d = NULL;
    EC_POINT *pub = NULL;

    if (key != NULL)
        return key;
    key = EC_KEY_new_by_curve_name(NID_sm2);
    if (key == NULL || !BN_hex2bn(&d, kPrivateKey)
        || (pub = EC_POINT_new(EC_KEY_get0_group(key))) == NULL
        || !EC_POINT_mul(EC_KEY_get0_group(key), pub, d, NULL, NULL, NULL)
        || !EC_KEY_set_private_key(key, d) || !EC_KEY_set_public_key(key, pub))
        abort();
    BN_free(d);
    EC_POINT_free(pub);
    return key;
}

static void free_key(void)
{
    EC_KEY_free(fuzz_key());
}

int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    fuzz_key();
    atexit(free_key);
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int rc = SM2_verify(0, kDigest, sizeof(kDigest), data, size, fuzz_key());

    if (rc < -1 || rc > 1)
        abort();
    return 0;
}
