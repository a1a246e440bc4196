#ifndef MVTOKEN_KEYS_H
#define MVTOKEN_KEYS_H

// Key pairs and certificates of the token store (OpenSSL 3, the stand-in's own shared
// libcrypto; nothing of it crosses into the program that loads the stand-in).

#include <string>

#include <openssl/evp.h>

#include "ossl_ptr.h"
#include "store.h"

namespace mvtoken {

// RSA containers hold 1024-bit keys: a signature fits the 128-byte buffers of the
// callers. SM2 containers hold keys on the SM2 curve (EVP_PKEY type EVP_PKEY_SM2).
constexpr int kRsaBits = 1024;

// A new key pair of the kind as PKCS#8 DER; empty on failure.
std::string generateKeyPair(KeyKind kind);
// The signature (sign true) or encryption key pair of a container, or null when the
// container holds none.
UniquePtr<EVP_PKEY> loadKeyPair(const ContainerRecord &container, bool sign);
UniquePtr<EVP_PKEY> loadPrivateKeyDer(const std::string &der);

// DER of a certificate given as DER or PEM; empty when the bytes are no certificate.
std::string certificateToDer(const std::string &bytes);

// Issues a certificate for the public key of keyDer with the subject "/C=CN/O=.../CN=...",
// signed by the store's demo CA (made and kept in data on first use). Returns the DER, or
// an empty text with a reason in error.
std::string issueCertificate(StoreData &data, const std::string &keyDer, const std::string &subject,
                             bool sign, std::string &error);

} // namespace mvtoken

#endif // MVTOKEN_KEYS_H
