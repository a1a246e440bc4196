/*
 * SM2_verify over arbitrary bytes as the DER signature, with a fixed SM2 key and digest.
 * The seed corpus holds valid signatures of that digest under that key.
 */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "fuzz_sm2_key.h"
#include "sm2.h"

static const unsigned char kDigest[32] = {
    0xF0, 0xB4, 0x3E, 0x94, 0xBA, 0x45, 0xAC, 0xCA, 0xAC, 0xE6, 0x92, 0xED, 0x53, 0x43, 0x82, 0xEB,
    0x17, 0xE6, 0xAB, 0x5A, 0x19, 0xCE, 0x7B, 0x31, 0xF4, 0x48, 0x6F, 0xDF, 0xC0, 0xD2, 0x86, 0x40,
};

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int rc = SM2_verify(0, kDigest, sizeof(kDigest), data, size, fuzz_key());

    if (rc < -1 || rc > 1)
        abort();
    return 0;
}
