// Shared by the SM2 encryption and key exchange tests: SM2 key pairs held both as the
// crypto library's own provider key (the oracle side) and as an EC_KEY (our side), and a
// replayable random generator, so that two encryptions can be made with the same k.
#ifndef MV_TESTS_SM2_TEST_SUPPORT_H
#define MV_TESTS_SM2_TEST_SUPPORT_H

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <vector>

namespace mvtest {

struct EcKeyFree {
    void operator()(EC_KEY *k) const { EC_KEY_free(k); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct PointFree {
    void operator()(EC_POINT *p) const { EC_POINT_free(p); }
};
struct BnFree {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using EcKeyPtr = std::unique_ptr<EC_KEY, EcKeyFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PointPtr = std::unique_ptr<EC_POINT, PointFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// An EC_KEY on the SM2 curve with the given private key (hex), public key derived.
inline EcKeyPtr sm2KeyFromHex(const char *dhex)
{
    EcKeyPtr key(EC_KEY_new_by_curve_name(NID_sm2));
    BIGNUM *d = nullptr;
    if (!key || !BN_hex2bn(&d, dhex))
        throw std::runtime_error("key");
    BnPtr dd(d);
    const EC_GROUP *g = EC_KEY_get0_group(key.get());
    PointPtr pub(EC_POINT_new(g));
    if (!EC_POINT_mul(g, pub.get(), d, nullptr, nullptr, nullptr)
        || !EC_KEY_set_private_key(key.get(), d) || !EC_KEY_set_public_key(key.get(), pub.get()))
        throw std::runtime_error("key");
    return key;
}

// The same key pair as a key of the crypto library's own SM2 implementation.
inline PkeyPtr libraryKey(const EC_KEY *key)
{
    unsigned char *pub = nullptr;
    size_t publen = EC_KEY_key2buf(key, POINT_CONVERSION_UNCOMPRESSED, &pub, nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub, publen);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, EC_KEY_get0_private_key(key));
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY *pkey = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1
        || EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params) != 1)
        pkey = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    OPENSSL_free(pub);
    return PkeyPtr(pkey);
}

// A fresh SM2 key pair: the library's provider key and the same key as EC_KEY.
struct Sm2KeyPair {
    PkeyPtr pkey;
    EcKeyPtr ec;

    static Sm2KeyPair generate()
    {
        Sm2KeyPair kp;
        kp.pkey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
        if (!kp.pkey)
            throw std::runtime_error("SM2 keygen");
        BIGNUM *d = nullptr;
        if (!EVP_PKEY_get_bn_param(kp.pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d))
            throw std::runtime_error("SM2 priv");
        BnPtr dd(d);
        unsigned char pub[133];
        size_t publen = 0;
        if (!EVP_PKEY_get_octet_string_param(kp.pkey.get(), OSSL_PKEY_PARAM_PUB_KEY, pub,
                                             sizeof(pub), &publen))
            throw std::runtime_error("SM2 pub");
        kp.ec.reset(EC_KEY_new_by_curve_name(NID_sm2));
        if (!kp.ec || !EC_KEY_set_private_key(kp.ec.get(), d)
            || !EC_KEY_oct2key(kp.ec.get(), pub, publen, nullptr))
            throw std::runtime_error("SM2 EC_KEY");
        return kp;
    }

    // The same key without its private part.
    EcKeyPtr publicOnly() const
    {
        EcKeyPtr k(EC_KEY_new_by_curve_name(NID_sm2));
        EC_KEY_set_public_key(k.get(), EC_KEY_get0_public_key(ec.get()));
        return k;
    }
};

// While alive, the crypto library's random generator is a replayable stream: bytes that
// were queued come first, then a xorshift sequence from the seed. Every BN_rand_range of
// a 256-bit order takes 32 bytes, so queueing k first makes it the drawn scalar.
class ReplayRand {
public:
    explicit ReplayRand(uint64_t seed) { reset(seed); active() = this; RAND_set_rand_method(&method); }
    ~ReplayRand()
    {
        RAND_set_rand_method(nullptr);
        active() = nullptr;
    }
    ReplayRand(const ReplayRand &) = delete;
    ReplayRand &operator=(const ReplayRand &) = delete;

    void reset(uint64_t seed)
    {
        state_ = seed ? seed : 0x9E3779B97F4A7C15ull;
        queued_.clear();
    }
    void queue(const std::vector<unsigned char> &bytes) { queued_.insert(queued_.end(), bytes.begin(), bytes.end()); }

private:
    static ReplayRand *&active()
    {
        static ReplayRand *r = nullptr;
        return r;
    }
    unsigned char next()
    {
        if (!queued_.empty()) {
            unsigned char b = queued_.front();
            queued_.pop_front();
            return b;
        }
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<unsigned char>(state_ >> 24);
    }
    static int bytes(unsigned char *buf, int num)
    {
        for (int i = 0; i < num; i++)
            buf[i] = active()->next();
        return 1;
    }
    static int seed(const void *, int) { return 1; }
    static int addRand(const void *, int, double) { return 1; }
    static int status() { return 1; }

    uint64_t state_ = 0;
    std::deque<unsigned char> queued_;
    RAND_METHOD method = { seed, bytes, nullptr, addRand, bytes, status };
};

} // namespace mvtest

#endif
