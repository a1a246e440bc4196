#ifndef MVTOKEN_OSSL_PTR_H
#define MVTOKEN_OSSL_PTR_H

// Owning pointers for the OpenSSL objects of the stand-in: std::unique_ptr with the
// object's own free function as its deleter, so that every return frees what a function
// made. UniquePtr<EVP_PKEY> key(EVP_PKEY_Q_keygen(...)); key.get() lends it to a call,
// key.release() hands it to a call that takes it over (the set0 functions).

#include <memory>
#include <new>
#include <string>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace mvtoken {

template <typename T>
struct OsslDeleter;

template <typename T>
using UniquePtr = std::unique_ptr<T, OsslDeleter<T>>;

#define MVTOKEN_OSSL_DELETER(type, freeFunction)            \
    template <>                                             \
    struct OsslDeleter<type> {                              \
        void operator()(type *object) const noexcept        \
        {                                                   \
            freeFunction(object);                           \
        }                                                   \
    }

MVTOKEN_OSSL_DELETER(ASN1_OCTET_STRING, ASN1_OCTET_STRING_free);
MVTOKEN_OSSL_DELETER(BIGNUM, BN_free);
MVTOKEN_OSSL_DELETER(BIO, BIO_free);
MVTOKEN_OSSL_DELETER(BN_CTX, BN_CTX_free);
MVTOKEN_OSSL_DELETER(EC_GROUP, EC_GROUP_free);
MVTOKEN_OSSL_DELETER(ECDSA_SIG, ECDSA_SIG_free);
MVTOKEN_OSSL_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
MVTOKEN_OSSL_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
MVTOKEN_OSSL_DELETER(EVP_PKEY, EVP_PKEY_free);
MVTOKEN_OSSL_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
MVTOKEN_OSSL_DELETER(OSSL_PARAM, OSSL_PARAM_free);
MVTOKEN_OSSL_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
MVTOKEN_OSSL_DELETER(PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free);
MVTOKEN_OSSL_DELETER(X509, X509_free);
MVTOKEN_OSSL_DELETER(X509_EXTENSION, X509_EXTENSION_free);
MVTOKEN_OSSL_DELETER(X509_NAME, X509_NAME_free);

#undef MVTOKEN_OSSL_DELETER

// Text that OpenSSL allocated (X509_NAME_oneline and the like).
struct OsslStringDeleter {
    void operator()(char *text) const noexcept
    {
        OPENSSL_free(text);
    }
};
using OsslString = std::unique_ptr<char, OsslStringDeleter>;

// The DER encoding of object by an i2d_ function, written straight into the returned
// container (std::string or std::vector<unsigned char>); empty when it cannot be encoded.
// Nothing is left in a buffer of OpenSSL's, so a private key's encoding exists only once.
template <typename Out = std::string, typename T, typename Encode>
Out derOf(const T *object, Encode encode)
{
    const int len = encode(object, nullptr);
    if (len <= 0)
        return Out();
    Out out(static_cast<std::size_t>(len), 0);
    unsigned char *p = reinterpret_cast<unsigned char *>(&out[0]);
    if (encode(object, &p) != len) {
        OPENSSL_cleanse(&out[0], out.size());
        return Out();
    }
    return out;
}

// After an OpenSSL call failed: throws std::bad_alloc when it ran out of memory, that is
// when one of the errors it recorded is a failed allocation or it could not even record
// one; otherwise it returns. The recorded errors are cleared either way. So a failure for
// want of memory is never taken for bad input (a wrong PIN, an unreadable certificate).
inline void throwIfOutOfMemory()
{
    bool none = true, memory = false;
    for (unsigned long error; (error = ERR_get_error()) != 0; none = false)
        memory = memory || ERR_GET_REASON(error) == ERR_R_MALLOC_FAILURE;
    if (none || memory)
        throw std::bad_alloc();
}

} // namespace mvtoken

#endif // MVTOKEN_OSSL_PTR_H
