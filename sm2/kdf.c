/*
 * SM3 key derivation function of GM/T 0003.
 */
#include "kdf.h"

#include <stdio.h>
#include <string.h>

#include <openssl/crypto.h>

#include "sm3.h"

/* Failure notes on standard error: "kdf(<line>):", the line naming the failed step. */
#define KDF_NOTE_LENGTH 33
#define KDF_NOTE_UPDATE_Z 44
#define KDF_NOTE_UPDATE_CT 49

static void kdf_note(int line)
{
    fprintf(stderr, "%s(%d):", "kdf", line);
}

int x9_63_kdf(uint32_t *counter, const unsigned char *Z, size_t zlen, size_t outlen,
              unsigned char *out)
{
    SM3_CTX prefix, c;
    unsigned char ct[4];
    unsigned char block[SM3_DIGEST_LENGTH];
    size_t remaining, n;
    int ret = 0;

    if (outlen > X9_63_KDF_MAX_OUTLEN) {
        kdf_note(KDF_NOTE_LENGTH);
        return 0;
    }
    if (outlen == 0)
        return 1;

    /* Z is the same for every block: hash it once and restart from the copy. */
    SM3_Init(&prefix);
    if (!SM3_Update(&prefix, Z, zlen)) {
        kdf_note(KDF_NOTE_UPDATE_Z);
        goto err;
    }
    for (remaining = outlen; remaining > 0; remaining -= n) {
        dwordtobyte(*counter, ct);
        c = prefix;
        if (!SM3_Update(&c, ct, sizeof(ct))) {
            kdf_note(KDF_NOTE_UPDATE_CT);
            goto err;
        }
        SM3_Final(block, &c);
        n = remaining < SM3_DIGEST_LENGTH ? remaining : SM3_DIGEST_LENGTH;
        memcpy(out, block, n);
        out += n;
        (*counter)++;
    }
    ret = 1;

err:
    OPENSSL_cleanse(&prefix, sizeof(prefix));
    OPENSSL_cleanse(&c, sizeof(c));
    OPENSSL_cleanse(block, sizeof(block));
    return ret;
}
