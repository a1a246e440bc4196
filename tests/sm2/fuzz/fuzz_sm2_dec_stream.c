/*
 * Streaming SM2 decryption over arbitrary bytes. The first input byte chooses how the
 * rest is cut into update calls; the streaming result must agree with SM2_DEC on the
 * same cipher text, and every output buffer is exactly as large as its size query.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_sm2_key.h"
#include "sm2_enc.h"

/* Writes one call's output into a buffer of exactly the queried size, then appends. */
static int feed(SM2_CRYPT_CTX *ctx, const uint8_t *in, size_t len, unsigned char *plain,
                size_t *plainlen)
{
    size_t need = 0, n;
    unsigned char *buf;
    int ok;

    if (!SM2_dec_update(ctx, in, len, NULL, &need))
        return 0;
    if (need % 32 != 0)
        abort();
    buf = malloc(need ? need : 1);
    if (buf == NULL)
        abort();
    n = need;
    ok = SM2_dec_update(ctx, in, len, buf, &n);
    if (ok) {
        if (n != need)
            abort();
        memcpy(plain + *plainlen, buf, n);
        *plainlen += n;
    }
    free(buf);
    return ok;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SM2_CRYPT_CTX ctx;
    unsigned char *plain, *oneshot;
    size_t plainlen = 0, off, step, first, n, need;
    unsigned pattern;
    int ok;

    if (size < 1)
        return 0;
    pattern = data[0];
    data++;
    size--;

    plain = malloc(size + 1);
    oneshot = malloc(size + 1);
    if (plain == NULL || oneshot == NULL)
        abort();

    SM2_dec_init(&ctx, fuzz_key());
    first = 60 + (pattern & 15); /* 60..75: below and above the 65 bytes of C1 */
    if (first > size)
        first = size;
    ok = feed(&ctx, data, first, plain, &plainlen);
    step = 1 + (pattern >> 4) * 7; /* 1..106 */
    for (off = first; ok && off < size; off += step) {
        size_t len = size - off < step ? size - off : step;
        ok = feed(&ctx, data + off, len, plain, &plainlen);
    }
    if (ok) {
        need = 0;
        SM2_dec_final(&ctx, NULL, &need);
        if (need > 31)
            abort();
        n = need;
        ok = SM2_dec_final(&ctx, plain + plainlen, &n);
        plainlen += n;
    }

    n = size;
    if (first >= 65) {
        int ref = SM2_DEC(fuzz_key(), data, size, oneshot, &n);
        if (ref != ok || (ok && (n != plainlen || memcmp(plain, oneshot, n) != 0)))
            abort(); /* streaming and one-shot disagree */
    }
    if (ok && plainlen + 97 != size)
        abort();

    free(plain);
    free(oneshot);
    return 0;
}
