/*
 * SM3 hash, GM/T 0004-2012.
 */
#include "sm3.h"

#include <string.h>

#include <openssl/crypto.h>

/* IV of GM/T 0004, eight big-endian words. */
static const unsigned char g_iv[32] = {
    0x73, 0x80, 0x16, 0x6f, 0x49, 0x14, 0xb2, 0xb9, 0x17, 0x24, 0x42, 0xd7, 0xda, 0x8a, 0x06, 0x00,
    0xa9, 0x6f, 0x30, 0xbc, 0x16, 0x31, 0x38, 0xaa, 0xe3, 0x8d, 0xee, 0x4d, 0xb0, 0xfb, 0x0e, 0x4e,
};

/* Result buffer of SM3() when the caller gives none. */
static unsigned char buf[SM3_DIGEST_LENGTH];

#define ROTL(x, n) (((x) << (n)) | ((x) >> ((32 - (n)) & 31)))
#define P0(x) ((x) ^ ROTL((x), 9) ^ ROTL((x), 17))
#define P1(x) ((x) ^ ROTL((x), 15) ^ ROTL((x), 23))
#define FF0(x, y, z) ((x) ^ (y) ^ (z))
#define FF1(x, y, z) (((x) & (y)) | (((x) | (y)) & (z)))
#define GG0(x, y, z) ((x) ^ (y) ^ (z))
#define GG1(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))

static inline uint32_t load_be32(const unsigned char *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

/*
 * Round constants T(j) rotated left by j mod 32: 0x79CC4519 for rounds 0-15,
 * 0x7A879D8A for rounds 16-63.
 */
static const uint32_t sm3_k[64] = {
    0x79cc4519, 0xf3988a32, 0xe7311465, 0xce6228cb, 0x9cc45197, 0x3988a32f, 0x7311465e, 0xe6228cbc,
    0xcc451979, 0x988a32f3, 0x311465e7, 0x6228cbce, 0xc451979c, 0x88a32f39, 0x11465e73, 0x228cbce6,
    0x9d8a7a87, 0x3b14f50f, 0x7629ea1e, 0xec53d43c, 0xd8a7a879, 0xb14f50f3, 0x629ea1e7, 0xc53d43ce,
    0x8a7a879d, 0x14f50f3b, 0x29ea1e76, 0x53d43cec, 0xa7a879d8, 0x4f50f3b1, 0x9ea1e762, 0x3d43cec5,
    0x7a879d8a, 0xf50f3b14, 0xea1e7629, 0xd43cec53, 0xa879d8a7, 0x50f3b14f, 0xa1e7629e, 0x43cec53d,
    0x879d8a7a, 0x0f3b14f5, 0x1e7629ea, 0x3cec53d4, 0x79d8a7a8, 0xf3b14f50, 0xe7629ea1, 0xcec53d43,
    0x9d8a7a87, 0x3b14f50f, 0x7629ea1e, 0xec53d43c, 0xd8a7a879, 0xb14f50f3, 0x629ea1e7, 0xc53d43ce,
    0x8a7a879d, 0x14f50f3b, 0x29ea1e76, 0x53d43cec, 0xa7a879d8, 0x4f50f3b1, 0x9ea1e762, 0x3d43cec5,
};

/*
 * One round with message words wj and wj ^ w(j+4). D and H take the new values of A
 * and E; B and F are rotated in place. The caller renames the registers for the next
 * round instead of moving them.
 */
#define ROUND(A, B, C, D, E, F, G, H, K, WJ, WJ4, FF, GG)                \
    do {                                                                  \
        const uint32_t a12 = ROTL(A, 12);                                 \
        const uint32_t t = a12 + ((E) + (K));                             \
        const uint32_t ss1 = ROTL(t, 7);                                  \
        const uint32_t tt1 = (FF(A, B, C) + (D + ((WJ) ^ (WJ4)))) + (ss1 ^ a12); \
        const uint32_t tt2 = (GG(E, F, G) + (H + (WJ))) + ss1;            \
        B = ROTL(B, 9);                                                   \
        D = tt1;                                                          \
        F = ROTL(F, 19);                                                  \
        H = P0(tt2);                                                      \
    } while (0)

/* W(j+16) from the sliding window of the last sixteen words, stored over W(j). */
#define EXPAND(W0, W3, W7, W10, W13) \
    (W0 = P1((W0) ^ (W7) ^ ROTL(W13, 15)) ^ ROTL(W3, 7) ^ (W10))

/*
 * Four rounds j..j+3 over window words w0..w15 (w[j mod 16] first), expanding the
 * window for the rounds sixteen later as each word is consumed.
 */
#define ROUNDS4(j, FF, GG, X0, X1, X2, X3, X4, X5, X6, X7, X8, X9, X10, X11, X12, X13, \
                X14, X15)                                                          \
    ROUND(a, b, c, d, e, f, g, h, sm3_k[(j)], X0, X4, FF, GG);                     \
    ROUND(d, a, b, c, h, e, f, g, sm3_k[(j) + 1], X1, X5, FF, GG);                 \
    ROUND(c, d, a, b, g, h, e, f, sm3_k[(j) + 2], X2, X6, FF, GG);                 \
    ROUND(b, c, d, a, f, g, h, e, sm3_k[(j) + 3], X3, X7, FF, GG);                 \
    if ((j) < 52) {                                                                \
        EXPAND(X0, X3, X7, X10, X13);                                              \
        EXPAND(X1, X4, X8, X11, X14);                                              \
        EXPAND(X2, X5, X9, X12, X15);                                              \
        EXPAND(X3, X6, X10, X13, X0);                                              \
    }

#define R16(j, FF, GG)                                                                    \
    ROUNDS4((j), FF, GG, w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15); \
    ROUNDS4((j) + 4, FF, GG, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15, w0, w1, w2, w3); \
    ROUNDS4((j) + 8, FF, GG, w8, w9, w10, w11, w12, w13, w14, w15, w0, w1, w2, w3, w4, w5, w6, w7); \
    ROUNDS4((j) + 12, FF, GG, w12, w13, w14, w15, w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11)

/* Compresses the block at p into the chaining value v0..v7 and moves p on. */
#define SM3_BLOCK()                                  \
    do {                                             \
        w0 = load_be32(p);                           \
        w1 = load_be32(p + 4);                       \
        w2 = load_be32(p + 8);                       \
        w3 = load_be32(p + 12);                      \
        w4 = load_be32(p + 16);                      \
        w5 = load_be32(p + 20);                      \
        w6 = load_be32(p + 24);                      \
        w7 = load_be32(p + 28);                      \
        w8 = load_be32(p + 32);                      \
        w9 = load_be32(p + 36);                      \
        w10 = load_be32(p + 40);                     \
        w11 = load_be32(p + 44);                     \
        w12 = load_be32(p + 48);                     \
        w13 = load_be32(p + 52);                     \
        w14 = load_be32(p + 56);                     \
        w15 = load_be32(p + 60);                     \
        a = v0; b = v1; c = v2; d = v3;              \
        e = v4; f = v5; g = v6; h = v7;              \
        R16(0, FF0, GG0);                            \
        R16(16, FF1, GG1);                           \
        R16(32, FF1, GG1);                           \
        R16(48, FF1, GG1);                           \
        v0 ^= a; v1 ^= b; v2 ^= c; v3 ^= d;          \
        v4 ^= e; v5 ^= f; v6 ^= g; v7 ^= h;          \
        p += SM3_BLOCK_SIZE;                         \
    } while (0)

static void sm3_blocks(uint32_t state[8], const unsigned char *p, size_t nblocks)
{
    uint32_t a, b, c, d, e, f, g, h;
    uint32_t w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15;
    /* The chaining value stays in registers from block to block. */
    uint32_t v0 = state[0], v1 = state[1], v2 = state[2], v3 = state[3];
    uint32_t v4 = state[4], v5 = state[5], v6 = state[6], v7 = state[7];

    while (nblocks-- > 0)
        SM3_BLOCK();

    state[0] = v0; state[1] = v1; state[2] = v2; state[3] = v3;
    state[4] = v4; state[5] = v5; state[6] = v6; state[7] = v7;
}

void SM3_Transform(uint32_t state[8], const unsigned char block[SM3_BLOCK_SIZE])
{
    sm3_blocks(state, block, 1);
}

void dwordtobyte(uint32_t v, unsigned char out[4])
{
    out[0] = (unsigned char)(v >> 24);
    out[1] = (unsigned char)(v >> 16);
    out[2] = (unsigned char)(v >> 8);
    out[3] = (unsigned char)v;
}

void SM3_iv2md(const uint32_t state[8], unsigned char md[SM3_DIGEST_LENGTH])
{
    int i;

    if (state == NULL || md == NULL)
        return;
    for (i = 0; i < 8; i++)
        dwordtobyte(state[i], md + 4 * i);
}

int SM3_Init(SM3_CTX *c)
{
    int i;

    for (i = 0; i < 8; i++)
        c->state[i] = load_be32(g_iv + 4 * i);
    memset(c->digest, 0, sizeof(c->digest));
    c->num = 0;
    c->total = 0;
    return 1;
}

int SM3_Update(SM3_CTX *c, const void *data, size_t len)
{
    const unsigned char *p = data;
    size_t num = (size_t)c->num;
    size_t sum, nblocks, fill;

    c->total += (uint64_t)len;
    if (len == 0)
        return 1;

    /* Formed in size_t, so one call may take any length the address space allows. */
    sum = num + len;
    if (sum < SM3_BLOCK_SIZE) {
        memcpy(c->block + num, p, len);
        c->num = (int32_t)sum;
        return 1;
    }

    nblocks = sum / SM3_BLOCK_SIZE;
    if (num != 0) {
        fill = SM3_BLOCK_SIZE - num;
        memcpy(c->block + num, p, fill);
        sm3_blocks(c->state, c->block, 1);
        p += fill;
        nblocks--;
    }
    if (nblocks > 0) {
        sm3_blocks(c->state, p, nblocks);
        p += nblocks * SM3_BLOCK_SIZE;
    }
    num = sum % SM3_BLOCK_SIZE;
    if (num != 0)
        memcpy(c->block, p, num);
    c->num = (int32_t)num;
    return 1;
}

int SM3_Final(unsigned char *md, SM3_CTX *c)
{
    unsigned char pad[2 * SM3_BLOCK_SIZE];
    uint64_t bits;
    size_t num, padlen;

    /* The empty message pads to one block like any other: 0x80, zeros, length 0. */
    num = (size_t)c->num;
    memset(pad, 0, sizeof(pad));
    memcpy(pad, c->block, num);
    pad[num] = 0x80;
    padlen = num < 56 ? SM3_BLOCK_SIZE : 2 * SM3_BLOCK_SIZE;
    bits = c->total * 8;
    dwordtobyte((uint32_t)(bits >> 32), pad + padlen - 8);
    dwordtobyte((uint32_t)bits, pad + padlen - 4);

    c->num = 0;
    SM3_Update(c, pad, padlen);
    OPENSSL_cleanse(pad, padlen);

    SM3_iv2md(c->state, c->digest);
    memcpy(md, c->digest, SM3_DIGEST_LENGTH);
    return SM3_DIGEST_LENGTH;
}

unsigned char *SM3(const void *data, size_t len, unsigned char *md)
{
    SM3_CTX c;

    if (md == NULL)
        md = buf;
    SM3_Init(&c);
    SM3_Update(&c, data, len);
    SM3_Final(md, &c);
    OPENSSL_cleanse(&c, sizeof(c));
    return md;
}
