// SM2 encryption and decryption beside the crypto library's own SM2 (EVP_PKEY_encrypt /
// EVP_PKEY_decrypt on the same key) in one run, with the throughput ratios printed at the
// end; and the peak heap of streaming decryption for 1 MiB and 64 MiB messages.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <openssl/crypto.h>

#include "bench_support.h"
#include "sm2_enc.h"

namespace {

// Live and peak bytes of the crypto library's heap (where all of our allocations go).
std::atomic<size_t> g_live{0}, g_peak{0};

void *countedMalloc(size_t n, const char *, int)
{
    auto *p = static_cast<size_t *>(std::malloc(n + sizeof(size_t) * 2));
    if (!p)
        return nullptr;
    p[0] = n;
    size_t live = g_live += n;
    size_t peak = g_peak.load();
    while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
    }
    return p + 2;
}
void countedFree(void *q, const char *, int)
{
    if (!q)
        return;
    auto *p = static_cast<size_t *>(q) - 2;
    g_live -= p[0];
    std::free(p);
}
void *countedRealloc(void *q, size_t n, const char *f, int l)
{
    if (!q)
        return countedMalloc(n, f, l);
    if (n == 0) {
        countedFree(q, f, l);
        return nullptr;
    }
    void *r = countedMalloc(n, f, l);
    if (r) {
        size_t old = (static_cast<size_t *>(q) - 2)[0];
        std::memcpy(r, q, old < n ? old : n);
        countedFree(q, f, l);
    }
    return r;
}

using mvbench::keys;
using mvbench::message;

// The library's SM2 on the same key: a context initialised for encryption, the capacity
// its size query asks for the message, and one cipher text of the message.
struct LibraryCipher {
    EVP_PKEY_CTX *ctx = nullptr;
    size_t capacity = 0;
    std::vector<unsigned char> text;

    explicit LibraryCipher(const std::vector<unsigned char> &m)
        : ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, keys().pkey.get(), nullptr))
    {
        EVP_PKEY_encrypt_init(ctx);
        EVP_PKEY_encrypt(ctx, nullptr, &capacity, m.data(), m.size());
        text.resize(capacity);
        size_t n = capacity;
        EVP_PKEY_encrypt(ctx, text.data(), &n, m.data(), m.size());
        text.resize(n);
    }
    ~LibraryCipher() { EVP_PKEY_CTX_free(ctx); }
    LibraryCipher(const LibraryCipher &) = delete;
    LibraryCipher &operator=(const LibraryCipher &) = delete;
};

void BM_Encrypt_Ours(benchmark::State &state)
{
    auto m = message(static_cast<size_t>(state.range(0)));
    std::vector<unsigned char> out(m.size() + SM2_CIPHER_OVERHEAD);
    for (auto _ : state) {
        size_t n = out.size();
        if (!SM2_ENC(keys().ec.get(), m.data(), m.size(), out.data(), &n))
            state.SkipWithError("SM2_ENC failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Encrypt_Library(benchmark::State &state)
{
    auto m = message(static_cast<size_t>(state.range(0)));
    LibraryCipher lib(m);
    std::vector<unsigned char> out(lib.capacity);
    for (auto _ : state) {
        size_t n = out.size();
        if (EVP_PKEY_encrypt(lib.ctx, out.data(), &n, m.data(), m.size()) != 1)
            state.SkipWithError("EVP_PKEY_encrypt failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decrypt_Ours(benchmark::State &state)
{
    auto m = message(static_cast<size_t>(state.range(0)));
    std::vector<unsigned char> c(m.size() + SM2_CIPHER_OVERHEAD), out(m.size());
    size_t n = c.size();
    SM2_ENC(keys().ec.get(), m.data(), m.size(), c.data(), &n);
    for (auto _ : state) {
        n = out.size();
        if (!SM2_DEC(keys().ec.get(), c.data(), c.size(), out.data(), &n))
            state.SkipWithError("SM2_DEC failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Decrypt_Library(benchmark::State &state)
{
    auto m = message(static_cast<size_t>(state.range(0)));
    LibraryCipher lib(m);
    std::vector<unsigned char> out(lib.capacity);
    EVP_PKEY_decrypt_init(lib.ctx);
    for (auto _ : state) {
        size_t n = out.size();
        if (EVP_PKEY_decrypt(lib.ctx, out.data(), &n, lib.text.data(), lib.text.size()) != 1)
            state.SkipWithError("EVP_PKEY_decrypt failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Encrypts a message of range(0) bytes in 64 KiB pieces and feeds each piece of cipher
// text straight into a streaming decryption; the heap peak above the start is reported.
void BM_StreamDecryptPeakHeap(benchmark::State &state)
{
    const size_t total = static_cast<size_t>(state.range(0));
    const size_t piece = 64 * 1024;
    std::vector<unsigned char> m = message(piece), c(piece + 2 * SM2_C1_LENGTH),
                               p(piece + 2 * SM2_C1_LENGTH);
    size_t peakAbove = 0;
    for (auto _ : state) {
        SM2_CRYPT_CTX enc, dec;
        SM2_enc_init(&enc, keys().ec.get());
        SM2_dec_init(&dec, keys().ec.get());
        size_t base = g_live.load();
        g_peak = base;
        bool ok = true;
        for (size_t done = 0; done < total && ok; done += piece) {
            size_t n = c.size();
            ok = SM2_enc_update(&enc, m.data(), piece, c.data(), &n);
            size_t k = p.size();
            ok = ok && SM2_dec_update(&dec, c.data(), n, p.data(), &k);
        }
        size_t n = c.size();
        ok = ok && SM2_enc_final(&enc, c.data(), &n);
        size_t k = p.size();
        ok = ok && SM2_dec_update(&dec, c.data(), n, p.data(), &k);
        k = p.size();
        ok = ok && SM2_dec_final(&dec, p.data(), &k);
        if (!ok)
            state.SkipWithError("streaming round trip failed");
        peakAbove = g_peak.load() - base;
    }
    state.counters["peak_heap_bytes"] = static_cast<double>(peakAbove);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The library's one-shot decryption of 1 MiB, for its heap peak beside ours.
void BM_LibraryDecryptPeakHeap(benchmark::State &state)
{
    auto m = message(static_cast<size_t>(state.range(0)));
    LibraryCipher lib(m);
    std::vector<unsigned char> out(lib.capacity);
    EVP_PKEY_decrypt_init(lib.ctx);
    size_t peakAbove = 0;
    for (auto _ : state) {
        size_t base = g_live.load();
        g_peak = base;
        size_t n = out.size();
        EVP_PKEY_decrypt(lib.ctx, out.data(), &n, lib.text.data(), lib.text.size());
        peakAbove = g_peak.load() - base;
    }
    state.counters["peak_heap_bytes"] = static_cast<double>(peakAbove);
}

BENCHMARK(BM_Encrypt_Ours)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_Encrypt_Library)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_Decrypt_Ours)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_Decrypt_Library)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_StreamDecryptPeakHeap)->Arg(1 << 20)->Arg(64 << 20)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryDecryptPeakHeap)->Arg(1 << 20)->Iterations(1)->Unit(benchmark::kMillisecond);

// Prints, after the table, our throughput relative to the library's for each pair.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                times_[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char *op : {"Encrypt", "Decrypt"})
            for (const char *size : {"1024", "1048576"}) {
                std::string ours = std::string("BM_") + op + "_Ours/" + size;
                std::string lib = std::string("BM_") + op + "_Library/" + size;
                if (times_.count(ours) && times_.count(lib) && times_[ours] > 0)
                    std::printf("throughput ours/library %s %s bytes: %.2f\n", op, size,
                                times_[lib] / times_[ours]);
            }
    }

private:
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char **argv)
{
    // before the crypto library allocates anything
    CRYPTO_set_mem_functions(countedMalloc, countedRealloc, countedFree);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
