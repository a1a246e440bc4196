// Certificate decoding, key extraction and verification on the SM2 curve (through the
// changed functions) against the same steps for a prime256v1 certificate, which pass the
// changed functions on to the library unchanged. Compare the pairs within one run.
#include "../meth_support.h"

#include <benchmark/benchmark.h>

using namespace mvmeth;

namespace {

struct Fixture {
    Pkey key;
    Cert cert;
    Bytes der;
};

Fixture makeSm2()
{
    Fixture f;
    f.key = newSm2Pkey();
    f.cert = selfSigned(f.key.get(), EVP_sm3());
    f.der = der(f.cert.get(), [](const X509 *x, unsigned char **p) { return i2d_X509(x, p); });
    return f;
}

Fixture makeP256()
{
    Fixture f;
    f.key.reset(EVP_PKEY_new());
    EVP_PKEY_assign_EC_KEY(f.key.get(), newEcKey(NID_X9_62_prime256v1).release());
    f.cert = selfSigned(f.key.get(), EVP_sha256());
    f.der = der(f.cert.get(), [](const X509 *x, unsigned char **p) { return i2d_X509(x, p); });
    return f;
}

const Fixture &fixture(bool sm2)
{
    static Fixture s = makeSm2(), p = makeP256();
    return sm2 ? s : p;
}

// Runs op on the SM2 (argument 1) or prime256v1 (argument 0) fixture, labelled so.
template <class Op> void onFixture(benchmark::State &state, Op op)
{
    const Fixture &f = fixture(state.range(0) != 0);
    for (auto _ : state)
        op(f);
    state.SetLabel(state.range(0) ? "sm2" : "p256");
}

void BM_DecodeCertificate(benchmark::State &state)
{
    onFixture(state, [](const Fixture &f) {
        const unsigned char *p = f.der.data();
        X509 *x = d2i_X509(nullptr, &p, static_cast<long>(f.der.size()));
        benchmark::DoNotOptimize(x);
        X509_free(x);
    });
}

void BM_GetPublicKey(benchmark::State &state)
{
    onFixture(state, [](const Fixture &f) {
        EVP_PKEY *k = X509_get_pubkey(f.cert.get());
        benchmark::DoNotOptimize(k);
        EVP_PKEY_free(k);
    });
}

void BM_VerifyCertificate(benchmark::State &state)
{
    onFixture(state, [&state](const Fixture &f) {
        int ok = X509_verify(f.cert.get(), f.key.get());
        if (ok != 1)
            state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(ok);
    });
}

BENCHMARK(BM_DecodeCertificate)->Arg(0)->Arg(1);
BENCHMARK(BM_GetPublicKey)->Arg(0)->Arg(1);
BENCHMARK(BM_VerifyCertificate)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
