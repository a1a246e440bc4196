// Cost of the stand-in's calls, each against a plain read of the store in the same run:
// a read-only call (SKF_EnumDev), a store transaction (SKF_SetLabel) and a PIN check
// (SKF_VerifyPIN: a slow hash and two writes).

#include <benchmark/benchmark.h>

#include <cstring>

#include "token_fixture.h"

using namespace tokentest;

namespace {

struct Bench {
    Library lib;
    std::string store;
    DEVHANDLE hDev = nullptr;
    HAPPLICATION hApp = nullptr;

    Bench()
    {
        store = makeStore();
        runMvtoken({"init-device", "bench-key"});
        runMvtoken({"insert", "bench-key"});
        runMvtoken({"create-app", "bench-key", "app", "--admin-pin", "admin", "--user-pin", "user"});
        runMvtoken({"create-container", "bench-key", "app", "con", "--key", "sm2"});
        runMvtoken({"issue-cert", "bench-key", "app", "con", "--sign", "--subject", "/CN=Bench"});
        lib.fn<SKF_ConnectDev_Fn>("SKF_ConnectDev")(const_cast<char *>("bench-key"), &hDev);
        lib.fn<SKF_OpenApplication_Fn>("SKF_OpenApplication")(hDev, const_cast<char *>("app"), &hApp);
    }
    ~Bench() { removeTree(store); }
};

Bench &bench()
{
    static Bench b;
    return b;
}

void BM_EnumDev(benchmark::State &state)
{
    auto fn = bench().lib.fn<SKF_EnumDev_Fn>("SKF_EnumDev");
    char list[256];
    for (auto _ : state) {
        ULONG size = sizeof list;
        benchmark::DoNotOptimize(fn(TRUE, list, &size));
    }
}
BENCHMARK(BM_EnumDev);

void BM_SetLabel(benchmark::State &state)
{
    auto fn = bench().lib.fn<SKF_SetLabel_Fn>("SKF_SetLabel");
    for (auto _ : state)
        benchmark::DoNotOptimize(fn(bench().hDev, const_cast<char *>("label")));
}
BENCHMARK(BM_SetLabel);

void BM_VerifyPIN(benchmark::State &state)
{
    auto fn = bench().lib.fn<SKF_VerifyPIN_Fn>("SKF_VerifyPIN");
    for (auto _ : state) {
        ULONG retries = 0;
        benchmark::DoNotOptimize(fn(bench().hApp, USER_TYPE, const_cast<char *>("user"), &retries));
    }
}
BENCHMARK(BM_VerifyPIN);

} // namespace

BENCHMARK_MAIN();
