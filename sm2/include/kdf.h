/*
 * SM3 key derivation (GM/T 0003): block i of the key stream is SM3(Z || BE32(counter_i)).
 */
#ifndef MVSM2_KDF_H
#define MVSM2_KDF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The longest key stream one call produces: 32 * (2^24 - 1) bytes. */
#define X9_63_KDF_MAX_OUTLEN 0x1FFFFFE0u

/*
 * Writes outlen bytes of key stream derived from Z to out. *counter holds the value for
 * the first block (GM/T 0003 starts at 1) and is advanced by one for every 32-byte block
 * produced, a shortened last block included. Returns 1, or 0 when outlen is above the
 * limit (counter and output untouched).
 */
int x9_63_kdf(uint32_t *counter, const unsigned char *Z, size_t zlen, size_t outlen,
              unsigned char *out);

#ifdef __cplusplus
}
#endif

#endif
