/*
 * SM3 cryptographic hash (GM/T 0004-2012): 256-bit digest over 512-bit blocks.
 */
#ifndef MVSM2_SM3_H
#define MVSM2_SM3_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM3_DIGEST_LENGTH 32
#define SM3_BLOCK_SIZE 64

/* Hashing context. Owned by the caller, holds no heap memory. */
typedef struct SM3state_st {
    uint32_t state[8];                       /* chaining value, host byte order */
    unsigned char digest[SM3_DIGEST_LENGTH]; /* result staging area of SM3_Final */
    unsigned char block[SM3_BLOCK_SIZE];     /* bytes of an incomplete block */
    int32_t num;                             /* bytes held in block, 0..63 */
    uint64_t total;                          /* message bytes taken since SM3_Init */
} SM3_CTX;

/* Sets the IV; always 1. */
int SM3_Init(SM3_CTX *c);
/* Takes len bytes of message; always 1. */
int SM3_Update(SM3_CTX *c, const void *data, size_t len);
/* Pads and writes the 32-byte digest to md (the empty message included); returns 32. */
int SM3_Final(unsigned char *md, SM3_CTX *c);
/* One-shot hash into md, or into a static buffer when md is null; returns where it wrote. */
unsigned char *SM3(const void *data, size_t len, unsigned char *md);
/* One compression: state = CF(state, block). No padding, no count. */
void SM3_Transform(uint32_t state[8], const unsigned char block[SM3_BLOCK_SIZE]);
/* Serialises the eight state words big-endian into md; does nothing on a null pointer. */
void SM3_iv2md(const uint32_t state[8], unsigned char md[SM3_DIGEST_LENGTH]);
/* Writes v as 4 bytes, most significant first. */
void dwordtobyte(uint32_t v, unsigned char out[4]);

#ifdef __cplusplus
}
#endif

#endif
