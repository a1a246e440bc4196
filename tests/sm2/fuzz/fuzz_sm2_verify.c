/*
 * SM2_verify over arbitrary bytes as the DER signature, with a fixed SM2 key and digest.
 * The seed corpus holds valid signatures of that digest under that key.
 *
 * A signature verifies only in its DER encoding.
 *
 * The same bytes also drive the code around the verification: the signer's Z value with
 * the bytes as the ID, SM3 of the bytes fed in two pieces (which must match the one-shot
 * hash), and a signature of e = SM3(Z || bytes) that must verify, and must not verify
 * for another digest.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/crypto.h>
#include <openssl/ec.h>

#include "fuzz_sm2_key.h"
#include "sm2.h"
#include "sm3.h"

static const unsigned char kDigest[32] = {
    0xF0, 0xB4, 0x3E, 0x94, 0xBA, 0x45, 0xAC, 0xCA, 0xAC, 0xE6, 0x92, 0xED, 0x53, 0x43, 0x82, 0xEB,
    0x17, 0xE6, 0xAB, 0x5A, 0x19, 0xCE, 0x7B, 0x31, 0xF4, 0x48, 0x6F, 0xDF, 0xC0, 0xD2, 0x86, 0x40,
};

/* e = SM3(Z || message), the message taken in two pieces split at split. */
static void digest_of(const unsigned char z[32], const uint8_t *data, size_t size, size_t split,
                      unsigned char e[32])
{
    SM3_CTX ctx;

    SM3_Init(&ctx);
    SM3_Update(&ctx, z, 32);
    SM3_Update(&ctx, data, split);
    SM3_Update(&ctx, data + split, size - split);
    SM3_Final(e, &ctx);
}

/* 1 when the bytes are exactly the DER encoding of the pair they decode to. */
static int is_der_signature(const uint8_t *data, size_t size)
{
    const unsigned char *p = data;
    ECDSA_SIG *sig = d2i_ECDSA_SIG(NULL, &p, (long)size);
    unsigned char *der = NULL;
    int len = sig != NULL ? i2d_ECDSA_SIG(sig, &der) : -1;
    int ret = len > 0 && (size_t)len == size && memcmp(der, data, size) == 0;

    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return ret;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unsigned char z[32], e[32], again[32], sig[80];
    unsigned int siglen = 0;
    size_t split;
    int idlen;
    int rc = SM2_verify(0, kDigest, sizeof(kDigest), data, size, fuzz_key());

    if (rc < -1 || rc > 1)
        abort();
    /* Only the DER encoding of a signature verifies. */
    if (rc == 1 && !is_der_signature(data, size))
        abort();
    if (size == 0)
        return 0;

    /* SM3 in pieces equals SM3 in one go. */
    split = data[0] % (size + 1);
    memset(z, 0, sizeof(z));
    digest_of(z, data, size, split, e);
    digest_of(z, data, size, 0, again);
    if (memcmp(e, again, sizeof(e)) != 0)
        abort();

    /* Z with a prefix of the bytes as the ID; a longer one than the ID takes is refused. */
    idlen = (int)(size < 600 ? size : 600);
    if (!SM2_Z(fuzz_key(), data, idlen, z))
        return 0;

    /* Signing is slow: only a part of the inputs make a signature. */
    if ((data[size - 1] & 7) != 0)
        return 0;
    digest_of(z, data, size, split, e);
    if (!SM2_sign(0, e, sizeof(e), sig, &siglen, fuzz_key()) || siglen > sizeof(sig))
        abort();
    if (SM2_verify(0, e, sizeof(e), sig, siglen, fuzz_key()) != 1)
        abort();
    e[split % sizeof(e)] ^= 1;
    if (SM2_verify(0, e, sizeof(e), sig, siglen, fuzz_key()) != 0)
        abort();
    return 0;
}
