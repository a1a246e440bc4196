/*
 * SM2_DEC_GMT over arbitrary bytes as the DER cipher text, with a fixed key. The output
 * buffer is exactly as large as the size query answers.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_sm2_key.h"
#include "sm2_cipher_gmt.h"

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t cap = 0, n;
    unsigned char *out;

    if (!SM2_DEC_GMT(fuzz_key(), data, size, NULL, &cap, 0))
        return 0;
    if (cap != size)
        abort();
    out = malloc(cap);
    if (out == NULL)
        return 0;
    n = cap;
    if (SM2_DEC_GMT(fuzz_key(), data, size, out, &n, 0) && n + 97 > size)
        abort(); /* the plaintext is shorter than its encoding */
    free(out);
    return 0;
}
