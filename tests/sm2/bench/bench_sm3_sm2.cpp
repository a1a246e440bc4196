// SM3 and SM2 sign/verify beside the crypto library's own implementations, same run.
#include <benchmark/benchmark.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "bench_support.h"
#include "sm2.h"
#include "sm3.h"

namespace {

void BM_Sm3_Ours(benchmark::State &state)
{
    auto m = mvbench::message(static_cast<size_t>(state.range(0)));
    unsigned char md[32];
    for (auto _ : state) {
        SM3(m.data(), m.size(), md);
        benchmark::DoNotOptimize(md);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Sm3_Library(benchmark::State &state)
{
    auto m = mvbench::message(static_cast<size_t>(state.range(0)));
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

// The run's SM2 key pair, and one 32-byte digest to sign.
struct KeyPair {
    EC_KEY *ec;
    EVP_PKEY *pkey;
    unsigned char dgst[32];

    KeyPair() : ec(mvbench::keys().ec.get()), pkey(mvbench::keys().pkey.get())
    {
        RAND_bytes(dgst, sizeof(dgst));
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
