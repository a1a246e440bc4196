// One load of the key management page for a token of 8 applications x 8 containers x
// 2 certificates, beside a baseline that makes the same token calls and decodes each
// certificate once with OpenSSL, without Qt. Prints the ratio of the two.
#include <QApplication>

#include <benchmark/benchmark.h>
#include <openssl/x509.h>

#include <dlfcn.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "keymanage.h"
#include "skfapi.h"
#include "skflibrary.h"
#include "tokenstore.h"

namespace {

constexpr int kApps = 8;
constexpr int kContainers = 8;
const char *const kDevice = "BENCH";

KeyManage *page = nullptr;
void *lib = nullptr;

bool provision()
{
    if (!TokenStore::addDevice(kDevice, "Bench", "SN-BENCH"))
        return false;
    for (int a = 0; a < kApps; ++a) {
        const QString app = QStringLiteral("APP%1").arg(a);
        if (!TokenStore::addApp(kDevice, app, "12345678", "11111111"))
            return false;
        for (int c = 0; c < kContainers; ++c) {
            const QString con = QStringLiteral("CON%1-%2").arg(a).arg(c);
            const QString subject = QStringLiteral("/C=CN/O=Mirvale/OU=Bench/CN=User %1-%2").arg(a).arg(c);
            if (!TokenStore::addContainer(kDevice, app, con, true, true, subject))
                return false;
        }
    }
    return true;
}

std::vector<std::string> names(const char *buf, ULONG len)
{
    std::vector<std::string> out;
    for (ULONG i = 0; i < len && buf[i];) {
        const std::string n(buf + i);
        out.push_back(n);
        i += n.size() + 1;
    }
    return out;
}

// The fields that the page shows, decoded once per certificate.
std::string summary(const BYTE *der, ULONG len, bool sign)
{
    const unsigned char *p = der;
    X509 *x = d2i_X509(nullptr, &p, long(len));
    if (!x)
        return std::string();
    std::string s = "v" + std::to_string(X509_get_version(x) + 1) + "#";
    const ASN1_INTEGER *serial = X509_get_serialNumber(x);
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < serial->length; ++i) {
        s += hex[serial->data[i] >> 4];
        s += hex[serial->data[i] & 15];
    }
    for (X509_NAME *name : {X509_get_issuer_name(x), X509_get_subject_name(x)}) {
        s += "#";
        char value[256];
        for (int nid : {NID_countryName, NID_organizationName, NID_organizationalUnitName, NID_commonName,
                        NID_localityName, NID_stateOrProvinceName}) {
            if (X509_NAME_get_text_by_NID(name, nid, value, sizeof(value)) > 0)
                s += std::string(OBJ_nid2sn(nid)) + "=" + value + ", ";
        }
    }
    for (const ASN1_TIME *t : {X509_get0_notBefore(x), X509_get0_notAfter(x)})
        s += "#" + std::string(reinterpret_cast<const char *>(t->data), size_t(t->length));
    s += sign ? "#1" : "#0";
    X509_free(x);
    return s;
}

void BM_KeyPageLoad(benchmark::State &state)
{
    for (auto _ : state) {
        page->cleanAllWigdetInfo();
        page->initView();
    }
    state.counters["certificates"] = kApps * kContainers * 2;
}

void BM_BaselineTokenWalk(benchmark::State &state)
{
    DEVHANDLE hDev = nullptr;
    char devName[] = "BENCH";
    SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_ConnectDev))(devName, &hDev);
    size_t certs = 0;
    for (auto _ : state) {
        std::vector<std::string> summaries;
        char list[1024] = {0};
        ULONG len = 512;
        SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_EnumDev))(TRUE, list, &len);
        DEVINFO info;
        std::memset(&info, 0, sizeof(info));
        SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_GetDevInfo))(hDev, &info);
        std::memset(list, 0, sizeof(list));
        len = 512;
        SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_EnumApplication))(hDev, list, &len);
        for (const std::string &app : names(list, len)) {
            HAPPLICATION hApp = nullptr;
            char appName[64] = {0};
            std::strncpy(appName, app.c_str(), sizeof(appName) - 1);
            if (SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_OpenApplication))(hDev, appName, &hApp) != SAR_OK)
                continue;
            char cons[1024] = {0};
            ULONG consLen = sizeof(cons);
            SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_EnumContainer))(hApp, cons, &consLen);
            for (std::string con : names(cons, consLen)) {
                HCONTAINER hCon = nullptr;
                SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_OpenContainer))(hApp, &con[0], &hCon);
                if (!hCon)
                    continue;
                for (BOOL sign : {TRUE, FALSE}) {
                    BYTE cert[2048] = {0};
                    ULONG certLen = sizeof(cert);
                    if (SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_ExportCertificate))(hCon, sign, cert, &certLen) == SAR_OK)
                        summaries.push_back(con + "#" + summary(cert, certLen, sign));
                }
                SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_CloseContainer))(hCon);
            }
            SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_CloseApplication))(hApp);
        }
        certs = summaries.size();
        benchmark::DoNotOptimize(summaries);
    }
    state.counters["certificates"] = double(certs);
}

// Remembers each benchmark's time per iteration to print the ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    std::map<std::string, double> perIteration;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.iterations > 0)
                perIteration[run.benchmark_name()] = run.real_accumulated_time / double(run.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

BENCHMARK(BM_KeyPageLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineTokenWalk)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TokenStore store;
    QApplication app(argc, argv);
    // The page writes one debug line per certificate; keep them off the terminal.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    if (!provision()) {
        std::fprintf(stderr, "cannot provision the benchmark token\n");
        return 1;
    }
    lib = dlopen(TokenStore::libraryPath().toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
    if (!lib) {
        std::fprintf(stderr, "cannot bind the token library: %s\n", dlerror());
        return 1;
    }
    page = new KeyManage(nullptr);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double pageTime = reporter.perIteration["BM_KeyPageLoad"];
    const double baseTime = reporter.perIteration["BM_BaselineTokenWalk"];
    if (pageTime > 0 && baseTime > 0)
        std::printf("key page load / baseline = %.2f (goal: at most 3)\n", pageTime / baseTime);
    delete page;
    return 0;
}
