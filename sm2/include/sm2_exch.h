/*
 * SM2 key agreement (GM/T 0003.3). The initiator A and the responder B each hold a
 * long-term SM2 key pair, exchange ephemeral points R = rG and derive the same key K and
 * the confirmation hashes S02 = SM3(0x02 || yU || T) and S03 = SM3(0x03 || yU || T).
 */
#ifndef MVSM2_SM2_EXCH_H
#define MVSM2_SM2_EXCH_H

#include <stddef.h>

#include <openssl/bn.h>
#include <openssl/ec.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The shared point U = (h * t)(peer_P + x'(peer_R) * peer_R), t = (d + x'(R) * r) mod n.
 * When own_R is given it receives a new copy of R = rG (the caller frees it); with only_R
 * nonzero the call then stops and returns null. Returns a new point (the caller frees it)
 * or null on failure.
 */
EC_POINT *sm2_compute_key(const EC_POINT *peer_R, const EC_POINT *peer_P, const BIGNUM *r,
                          const EC_KEY *key, EC_POINT **own_R, int only_R);

/*
 * One side of the exchange. With only_R 1, computes only own R = rG into *own_R (peer_R,
 * peer_P and K may be null). With only_R 0, derives klen bytes of K and, where given,
 * S02 and S03 (32 bytes each). Both sides pass the same IDA (the initiator's) and IDB.
 * own_R, when given, receives a copy of R also when the call fails later. 1 or 0.
 */
int SM2_DH_key(const EC_POINT *peer_R, const EC_POINT *peer_P, const BIGNUM *r,
               const EC_KEY *key, unsigned char *K, size_t klen,
               unsigned char *S02, unsigned char *S03, int initiator,
               EC_POINT **own_R, int only_R,
               const unsigned char *IDA, int IDA_len,
               const unsigned char *IDB, int IDB_len);

#ifdef __cplusplus
}
#endif

#endif
