#ifndef MVTOKEN_SKF_CRYPTO_H
#define MVTOKEN_SKF_CRYPTO_H

// The stand-in's cryptographic entry points (skf_crypto.cpp): session keys, block cipher,
// RSA and SM2 signatures, public-key export and the SM3 digest.
//
// Formats of this token:
// - Session keys: SGD_SM1_ECB (0x101) is served by SM4-ECB with the first 16 key bytes.
//   PaddingType 0 takes whole blocks only, 1 pads as PKCS#5. An operation ends with the
//   SKF_Encrypt / SKF_Decrypt call that returns data; a size query or a too small buffer
//   (SAR_BUFFER_TOO_SMALL, with the needed size stored) leaves it open.
// - RSA public keys are exported as RSAPUBLICKEYBLOB of skfapi.h (280 bytes): AlgID
//   SGD_RSA, BitLen, the modulus and the exponent big-endian at the end of their fields.
// - ECC public keys are exported in the token's packed form, which SKF_ECCVerify also
//   takes: a 4-byte bit length (host order), then X and Y, each in a 64-byte field with
//   the 32-byte coordinate big-endian at its end (132 bytes). SKF_DigestInit takes the
//   ECCPUBLICKEYBLOB of skfapi.h (8-byte BitLen) with the same coordinate fields.
// - Signatures: r and s big-endian at the end of their 64-byte fields, the first 32
//   bytes zero. RSA signs with PKCS#1 v1.5 (block type 1) over the given data; SM2
//   signs the 32-byte digest e as given.
// - SKF_DigestInit with SGD_SM3 and a non-zero ID length hashes the SM2 Z value of the
//   given public key and ID first (GM/T 0003: Z = SM3(ENTL || ID || a || b || xG || yG ||
//   xA || yA)), so that the digest is e = SM3(Z || M). With ID length 0 it is plain SM3.
// - Signing needs the user PIN verified in the container's application.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <openssl/evp.h>

#include "ossl_ptr.h"
#include "session.h"

namespace mvtoken {

constexpr ULONG kSgdRsa = 0x00010000UL;
constexpr std::size_t kEccCoordinateField = 64;
constexpr std::size_t kEccCoordinateSize = 32;
constexpr std::size_t kEccExportBitLenSize = 4;
constexpr std::size_t kEccExportSize = kEccExportBitLenSize + 2 * kEccCoordinateField;
constexpr std::size_t kSm4KeySize = 16;
constexpr std::size_t kSm4BlockSize = 16;
constexpr std::size_t kSm3DigestSize = 32;
// ENTL, the ID's length in bits, has two bytes.
constexpr ULONG kSm2MaxIdLen = 0xFFFF / 8;

// A session key (HandleKind::Key). The key bytes are wiped when the handle goes.
struct SymmKeySession : HandleObject {
    enum class Operation { None, Encrypt, Decrypt };

    ~SymmKeySession() override;

    std::mutex lock;
    DeviceRef device;
    ULONG algId = 0;
    unsigned char key[kSm4KeySize] = {0};
    Operation operation = Operation::None;
    ULONG paddingType = 0;
};

// An SM3 digest in progress (HandleKind::Hash); finished by SKF_Digest.
struct HashSession : HandleObject {
    std::mutex lock;
    DeviceRef device;
    UniquePtr<EVP_MD_CTX> md;
    bool finished = false;
};

// Z of the SM2 recommended curve for the public key (x, y) and the signer ID.
bool sm2ZValue(const unsigned char x[kEccCoordinateSize], const unsigned char y[kEccCoordinateSize],
               const unsigned char *id, std::size_t idLen, unsigned char z[kSm3DigestSize]);

} // namespace mvtoken

#endif // MVTOKEN_SKF_CRYPTO_H
