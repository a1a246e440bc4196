/*
 * SM2 public-key encryption (GM/T 0003.4) in the raw cipher-text layout C1 || C2 || C3:
 *
 *   C1 = 0x04 || x1 || y1   65 bytes, the point kG, coordinates 32 bytes big-endian
 *   C2 = M XOR t            as long as the message, t = KDF(x2 || y2) with (x2, y2) = kP
 *   C3 = SM3(x2 || M || y2) 32 bytes
 *
 * Streaming calls (init, update any number of times, final) for both directions over a
 * caller-owned SM2_CRYPT_CTX, and one-shot calls SM2_ENC / SM2_DEC built on them.
 *
 * Size rules of the update, final and one-shot calls: a null out asks for the output size,
 * which is stored in *outlen before returning 1 with no other effect. Otherwise *outlen
 * holds the capacity of out on entry and the number of bytes written on return.
 * All calls return 1 on success and 0 on failure. A context that has been through final,
 * or whose init failed, makes no more key stream: it is used again after a new init.
 */
#ifndef MVSM2_SM2_ENC_H
#define MVSM2_SM2_ENC_H

#include <stddef.h>
#include <stdint.h>

#include <openssl/ec.h>

#include "sm3.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SM2_C1_LENGTH 65
#define SM2_C3_LENGTH 32
#define SM2_COORD_LENGTH 32
/* C1 and C3 together: the cipher text is this much longer than the message. */
#define SM2_CIPHER_OVERHEAD (SM2_C1_LENGTH + SM2_C3_LENGTH)

/* State of one encryption or one decryption. Owned by the caller, holds no heap memory. */
typedef struct sm2_crypt_ctx_st {
    unsigned char c1[SM2_C1_LENGTH];   /* C1: built by encryption init, read by decryption */
    unsigned char x2[SM2_COORD_LENGTH]; /* x2, big-endian, left-padded */
    unsigned char y2[SM2_COORD_LENGTH]; /* y2, directly behind x2: x2 || y2 is the KDF input */
    uint32_t counter;                  /* KDF block counter: 1 until the first key-stream block */
    SM3_CTX sm3_ctx;                   /* running SM3(x2 || M || y2) */
    unsigned char pending[32];         /* incomplete block: plaintext (enc) or C2 (dec) */
    int32_t pending_len;               /* bytes in pending, 0..31 */
    const EC_KEY *dec_key;             /* decryption key, borrowed until the final call */
    int32_t header_done;               /* decryption: 1 once C1 has been read */
    unsigned char tail[32];            /* decryption: last bytes received, maybe C3 */
    int32_t tail_len;                  /* bytes in tail, 0..32; 32 only while decrypting */
} SM2_CRYPT_CTX;

/* Draws k and prepares C1 and (x2, y2) for the recipient's public key. */
int SM2_enc_init(SM2_CRYPT_CTX *ctx, const EC_KEY *key);
/* Encrypts inlen (> 0) bytes; writes C1 with the first complete block, then whole blocks
 * of C2. Output size required: inlen + pending_len + 65. */
int SM2_enc_update(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen,
                   unsigned char *out, size_t *outlen);
/* Writes C1 if no update did, the last partial block of C2 and C3.
 * Output size required: pending_len + 32, plus 65 while C1 has not been written.
 * The key stream of a message must not be all zero (C2 would be the message): for a
 * message shorter than 32 bytes that is the first pending_len bytes of the first block,
 * which only this call makes, so this call then fails with nothing written (about once
 * in 256 for a 1-byte message). C1 has not left yet: the caller starts again with
 * SM2_enc_init, which draws a new k, and the same message. SM2_ENC does so by itself. */
int SM2_enc_final(SM2_CRYPT_CTX *ctx, unsigned char *out, size_t *outlen);
/* One-shot encryption: out receives inlen + 97 bytes. An empty message is refused.
 * A k whose key stream for the message is all zero is replaced by a new draw (up to 16
 * draws in all). */
int SM2_ENC(const EC_KEY *key, const unsigned char *in, size_t inlen,
            unsigned char *out, size_t *outlen);

/* Starts a decryption with a key that holds the private key (checked when C1 arrives). */
int SM2_dec_init(SM2_CRYPT_CTX *ctx, const EC_KEY *key);
/* Takes the next cipher-text bytes (the first call carries at least the 65 bytes of C1)
 * and releases whole 32-byte blocks of plaintext; the last 32 bytes received are held
 * back as the possible C3. Output size required: the bytes the call releases.
 * The released plaintext is not authenticated until SM2_dec_final returns 1: a caller that
 * gets 0 from the final call must discard all plaintext of the message. */
int SM2_dec_update(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen,
                   unsigned char *out, size_t *outlen);
/* Releases the last partial block and checks C3: 1 only when it matches.
 * Output size required: pending_len. A cipher text whose key stream is all zero for the
 * message (C2 = M) is refused, as by every decryption call. */
int SM2_dec_final(SM2_CRYPT_CTX *ctx, unsigned char *out, size_t *outlen);
/* One-shot decryption: out receives inlen - 97 bytes. On failure no plaintext is left in
 * out. */
int SM2_DEC(const EC_KEY *key, const unsigned char *in, size_t inlen,
            unsigned char *out, size_t *outlen);

/* The block step of both directions: XORs every complete 32-byte block of pending || in
 * with the next key-stream block, writes it at out + *outlen (adding 32 to *outlen) and
 * hashes its plaintext; the rest becomes the new pending bytes. */
int SM2_CMC_update(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen,
                   unsigned char *out, size_t *outlen);
/* Reads C1 from the first 65 input bytes and computes (x2, y2) = d * C1. */
int SM2_dec_prepare(SM2_CRYPT_CTX *ctx, const unsigned char *in, size_t inlen);

#ifdef __cplusplus
}
#endif

#endif
