/* SubjectPublicKeyInfo, PKCS#8 and traditional EC private keys decoded through the
 * changed library functions; whatever decodes is used as a key and encoded again. */
#include <stddef.h>
#include <stdint.h>

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "sm2_keys.h"

static void exercise(EVP_PKEY *pkey)
{
    unsigned char *der = NULL;
    EC_KEY *ec;
    PKCS8_PRIV_KEY_INFO *p8;
    int len;

    if ((ec = EVP_PKEY_get1_EC_KEY(pkey)) != NULL)
        EC_KEY_free(ec);
    if ((ec = EVP_PKEY_get1_EC_SM2_KEY(pkey)) != NULL)
        EC_KEY_free(ec);
    EVP_PKEY_cmp(pkey, pkey);
    EVP_PKEY_get_size(pkey);
    EVP_PKEY_get_bits(pkey);
    if ((len = i2d_PUBKEY(pkey, &der)) > 0)
        OPENSSL_free(der);
    if ((p8 = EVP_PKEY2PKCS8(pkey)) != NULL)
        PKCS8_PRIV_KEY_INFO_free(p8);
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const unsigned char *p;
    X509_PUBKEY *spki;
    PKCS8_PRIV_KEY_INFO *p8;
    EVP_PKEY *pkey;

    p = data;
    if ((spki = d2i_X509_PUBKEY(NULL, &p, (long)size)) != NULL) {
        if ((pkey = X509_PUBKEY_get(spki)) != NULL) {
            exercise(pkey);
            EVP_PKEY_free(pkey);
        }
        /* The borrowed key, which the structure keeps and frees. */
        if ((pkey = X509_PUBKEY_get0(spki)) != NULL)
            exercise(pkey);
        X509_PUBKEY_free(spki);
    }
    p = data;
    if ((p8 = d2i_PKCS8_PRIV_KEY_INFO(NULL, &p, (long)size)) != NULL) {
        if ((pkey = EVP_PKCS82PKEY(p8)) != NULL) {
            exercise(pkey);
            EVP_PKEY_free(pkey);
        }
        PKCS8_PRIV_KEY_INFO_free(p8);
    }
    p = data;
    if ((pkey = d2i_PrivateKey(EVP_PKEY_EC, NULL, &p, (long)size)) != NULL) {
        exercise(pkey);
        EVP_PKEY_free(pkey);
    }
    ERR_clear_error();
    return 0;
}
