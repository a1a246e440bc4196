// MirvaleClient carries the extension with its changes: the statically linked crypto
// library's calls to the changed functions go to the extension, and that copy of the
// library is neither loaded as a shared library nor exported.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

class ProgramLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *dir = std::getenv("MV_BIN_DIR");
        program = std::string(dir != nullptr ? dir : ".") + "/MirvaleClient";
        struct stat st;
        if (stat(program.c_str(), &st) != 0)
            GTEST_SKIP() << program << " is not built";
    }
    std::string program;
};

TEST_F(ProgramLink, ChangedFunctionsAreWrappedInTheProgram)
{
    std::string symbols = run("nm '" + program + "'");
    for (const char *fn : {"X509_get_pubkey", "X509_PUBKEY_get", "X509_PUBKEY_get0", "EVP_PKEY_cmp", "EVP_PKEY_eq",
                           "EVP_PKEY_get1_EC_KEY", "EVP_PKEY_get0_EC_KEY", "EVP_PKCS82PKEY",
                           "ASN1_item_sign_ex", "ASN1_item_sign_ctx", "ASN1_item_verify",
                           "ASN1_item_verify_ex"}) {
        EXPECT_NE(std::string::npos, symbols.find(" T __wrap_" + std::string(fn) + "\n")) << fn;
        // The library's own function is there under its name, reached as __real_.
        EXPECT_NE(std::string::npos, symbols.find(" T " + std::string(fn) + "\n")) << fn;
    }
}

TEST_F(ProgramLink, CryptoLibraryIsStaticAndNotExported)
{
    std::string dynamic = run("readelf -d '" + program + "'");
    ASSERT_FALSE(dynamic.empty());
    EXPECT_EQ(std::string::npos, dynamic.find("libcrypto.so")) << dynamic;
    std::string exported = run("nm -D --defined-only '" + program + "'");
    EXPECT_EQ(std::string::npos, exported.find(" X509_get_pubkey")) << exported;
    EXPECT_EQ(std::string::npos, exported.find(" __wrap_")) << exported;
}

} // namespace
