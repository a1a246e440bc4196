/*
 * SM2 key accessors and the typed store shared by the key methods and hooks.
 */
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "sm2_keys.h"
#include "sm2_meth_local.h"

EC_KEY *sm2_pkey_get0_eckey(const EVP_PKEY *pkey)
{
    EC_KEY *key;
    int type;

    if (pkey == NULL)
        return NULL;
    type = EVP_PKEY_get_base_id(pkey);
    if (type != EVP_PKEY_EC && type != NID_sm2)
        return NULL;
    key = EVP_PKEY_get0(pkey);
    if (key == NULL)
        key = evp_pkey_get_legacy((EVP_PKEY *)pkey);
    return key;
}

int sm2_pkey_assign_typed(EVP_PKEY *pkey, int type, EC_KEY *key)
{
    const EC_GROUP *group = key != NULL ? EC_KEY_get0_group(key) : NULL;
    EC_GROUP *saved = NULL;
    int ret = 0;

    if (pkey == NULL)
        return 0;
    /* The library's own range checks treat keys on the SM2 curve by this flag. */
    if (group != NULL && EC_GROUP_get_curve_name(group) == NID_sm2)
        EC_KEY_set_flags(key, EC_FLAG_SM2_RANGE);
    if (group != NULL && (EC_GROUP_get_curve_name(group) == NID_sm2) != (type == NID_sm2)) {
        /* Hand the key over without its group, so that it keeps the requested type. */
        if ((saved = EC_GROUP_dup(group)) == NULL)
            goto err;
        EC_KEY_set_group(key, NULL);
        ret = EVP_PKEY_assign(pkey, type, key);
        /* Once stored, pkey owns key whatever happens next: a group that cannot be put
         * back (no memory) leaves a key that every later use refuses. */
        EC_KEY_set_group(key, saved);
        goto err;
    }
    ret = EVP_PKEY_assign(pkey, type, key);
err:
    EC_GROUP_free(saved);
    return ret;
}

int EVP_PKEY_assign_EC_SM2_KEY(EVP_PKEY *pkey, EC_KEY *key)
{
    return sm2_pkey_assign_typed(pkey, NID_sm2, key);
}

int EVP_PKEY_set1_EC_SM2_KEY(EVP_PKEY *pkey, EC_KEY *key)
{
    if (key == NULL || !EC_KEY_up_ref(key))
        return 0;
    if (!EVP_PKEY_assign_EC_SM2_KEY(pkey, key)) {
        EC_KEY_free(key);
        return 0;
    }
    return 1;
}

EC_KEY *EVP_PKEY_get1_EC_SM2_KEY(EVP_PKEY *pkey)
{
    EC_KEY *key = sm2_pkey_get0_eckey(pkey);

    if (key == NULL) {
        ERR_raise(ERR_LIB_EVP, EVP_R_EXPECTING_A_EC_KEY);
        return NULL;
    }
    if (!EC_KEY_up_ref(key))
        return NULL;
    return key;
}
