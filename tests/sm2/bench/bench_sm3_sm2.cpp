// SM3 and SM2 sign/verify beside the crypto library's own implementations, same run.
#include <benchmark/benchmark.h>

#include <vector>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include "sm2.h"
#include "sm3.h"

namespace {

std::vector<unsigned char> message(size_t n)
{
    std::vector<unsigned char> m(n);
    for (size_t i = 0; i < n; i++)
        m[i] = static_cast<unsigned char>(i * 7 + 3);
    return m;
}

void BM_Sm3_Ours(benchmark::State &state)
{
    auto m = message(static_cast<size_t>(state.range(0)));
    unsigned char md[32];
    for (auto _ : state) {
        SM3(m.data(), m.size(), md);
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Sm3_Library(benchmark::State &state)
{
    auto m = message(static_cast<size_t>(state.range(0)));
    unsigned char md[32];
    unsigned int len;
    const EVP_MD *sm3 = EVP_sm3();
    for (auto _ : state) {
        EVP_Digest(m.data(), m.size(), md, &len, sm3, nullptr);
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Sm3_Ours)->Arg(64)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_Sm3_Library)->Arg(64)->Arg(1024)->Arg(1 << 20);

// One SM2 key pair, as our EC_KEY and as a key of the library's own SM2.
struct KeyPair {
    EC_KEY *ec = nullptr;
    EVP_PKEY *pkey = nullptr;
    unsigned char dgst[32];

    KeyPair()
    {
        ec = EC_KEY_new_by_curve_name(NID_sm2);
        EC_KEY_generate_key(ec);
        RAND_bytes(dgst, sizeof(dgst));
        unsigned char *pub = nullptr;
        size_t publen = EC_KEY_key2buf(ec, POINT_CONVERSION_UNCOMPRESSED, &pub, nullptr);
        OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub, publen);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, EC_KEY_get0_private_key(ec));
        OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
        EVP_PKEY_fromdata_init(ctx);
        EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_KEYPAIR, params);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        OPENSSL_free(pub);
    }
    ~KeyPair()
    {
        EC_KEY_free(ec);
        EVP_PKEY_free(pkey);
    }
};

KeyPair &keys()
{
    static KeyPair k;
    return k;
}

void BM_Sm2Sign_Ours(benchmark::State &state)
{
    KeyPair &k = keys();
    unsigned char sig[80];
    unsigned int len;
    for (auto _ : state) {
        if (!SM2_sign(0, k.dgst, 32, sig, &len, k.ec))
            state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(sig);
    }
}

void BM_Sm2Sign_Library(benchmark::State &state)
{
    KeyPair &k = keys();
    unsigned char sig[80];
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, k.pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    for (auto _ : state) {
        size_t len = sizeof(sig);
        if (EVP_PKEY_sign(ctx, sig, &len, k.dgst, 32) != 1)
            state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(sig);
    }
    EVP_PKEY_CTX_free(ctx);
}

void BM_Sm2Verify_Ours(benchmark::State &state)
{
    KeyPair &k = keys();
    unsigned char sig[80];
    unsigned int len;
    SM2_sign(0, k.dgst, 32, sig, &len, k.ec);
    for (auto _ : state) {
        if (SM2_verify(0, k.dgst, 32, sig, len, k.ec) != 1)
            state.SkipWithError("verify failed");
    }
}

void BM_Sm2Verify_Library(benchmark::State &state)
{
    KeyPair &k = keys();
    unsigned char sig[80];
    size_t len = sizeof(sig);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, k.pkey, nullptr);
    EVP_PKEY_sign_init(ctx);
    EVP_PKEY_sign(ctx, sig, &len, k.dgst, 32);
    EVP_PKEY_verify_init(ctx);
    for (auto _ : state) {
        if (EVP_PKEY_verify(ctx, sig, len, k.dgst, 32) != 1)
            state.SkipWithError("verify failed");
    }
    EVP_PKEY_CTX_free(ctx);
}

BENCHMARK(BM_Sm2Sign_Ours);
BENCHMARK(BM_Sm2Sign_Library);
BENCHMARK(BM_Sm2Verify_Ours);
BENCHMARK(BM_Sm2Verify_Library);

} // namespace

BENCHMARK_MAIN();
