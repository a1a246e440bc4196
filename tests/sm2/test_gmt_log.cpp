// Diagnostic log. The switch is decided once per process, so the "off" and "on" cases
// are registered as separate runs of this program (see tests-sign.cmake), each in a
// working directory of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include <openssl/bn.h>

#include "gmt_log.h"

namespace {

class LogDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/mv-sm2-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(old_, sizeof(old_)), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override
    {
        std::remove("LogConfig");
        std::remove("openssl_log1.txt");
        ASSERT_EQ(chdir(old_), 0);
        rmdir(dir_.c_str());
    }
    static void writeFile(const char *name, const std::string &text)
    {
        std::ofstream(name, std::ios::binary) << text;
    }
    static std::string readFile(const char *name)
    {
        std::ifstream in(name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static bool exists(const char *name) { return access(name, F_OK) == 0; }

    std::string dir_;
    char old_[4096];
};

using LogOff = LogDirectory;
using LogOn = LogDirectory;
using LogRace = LogDirectory;

std::string captured(void (*fn)())
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

const unsigned char kSixteen[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

} // namespace

TEST_F(LogOff, WithoutSwitchFileNothingIsEverLogged)
{
    std::string out = captured([] {
        EXPECT_EQ(gmt_log("hello"), 0);
        EXPECT_EQ(gmt_logbuf("title", kSixteen, sizeof(kSixteen), nullptr), 0);
    });
    EXPECT_EQ(out, "g_LogFlag = 1\n");
    EXPECT_FALSE(exists("openssl_log1.txt"));

    // A switch file that appears later does not change the running process.
    writeFile("LogConfig", "");
    out = captured([] {
        EXPECT_EQ(checkLog(), 1);
        EXPECT_EQ(gmt_log("again"), 0);
    });
    EXPECT_EQ(out, "");
    EXPECT_FALSE(exists("openssl_log1.txt"));
}

TEST_F(LogOn, MessagesAppendToFileAndEcho)
{
    writeFile("LogConfig", "");
    writeFile("openssl_log1.txt", "earlier run\n");

    std::string out = captured([] { gmt_log("d2i_SM2_CIPHERT_2012 failed"); });
    EXPECT_EQ(out, "g_LogFlag = 0\nd2i_SM2_CIPHERT_2012 failed\n");
    out = captured([] { gmt_log("d2i_SM2_CIPHERT_2012 failed"); });
    EXPECT_EQ(out, "d2i_SM2_CIPHERT_2012 failed\n");
    EXPECT_EQ(readFile("openssl_log1.txt"),
              "earlier run\nd2i_SM2_CIPHERT_2012 failed\nd2i_SM2_CIPHERT_2012 failed\n");

    // Removing the switch file later does not turn the log off.
    std::remove("LogConfig");
    EXPECT_EQ(checkLog(), 0);
}

TEST_F(LogOn, HexDumpCarriesLengthOnlyInFile)
{
    writeFile("LogConfig", "");
    std::string out =
        captured([] { gmt_logbuf("hashmac", kSixteen, sizeof(kSixteen), nullptr); });
    // The switch line may have been printed by an earlier case of this process.
    const std::string switchLine = "g_LogFlag = 0\n";
    if (out.compare(0, switchLine.size(), switchLine) == 0)
        out.erase(0, switchLine.size());
    const std::string dump = "0000 - 00 01 02 03 04 05 06 07-08 09 0a 0b 0c 0d 0e 0f   "
                             "................\n";
    EXPECT_EQ(out, "hashmac\n" + dump + "\n");
    EXPECT_EQ(readFile("openssl_log1.txt"), "hashmac len[16 0x10]\n" + dump + "\n");
}

TEST_F(LogRace, FirstUseFromManyThreadsDecidesOnce)
{
    writeFile("LogConfig", "");
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    std::atomic<int> waiting{8};
    for (int i = 0; i < 8; i++)
        threads.emplace_back([&waiting] {
            // Start all first uses together.
            waiting--;
            while (waiting.load() > 0) {
            }
            EXPECT_EQ(checkLog(), 0);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "g_LogFlag = 0\n");
    EXPECT_EQ(g_InitLog, 1);
    EXPECT_EQ(g_LogFlag, 0);
}

TEST(BigNumberPrint, HexWithSignAndNoLineEnd)
{
    BIGNUM *bn = BN_new();
    ASSERT_NE(bn, nullptr);
    testing::internal::CaptureStdout();
    BNPrintf(bn);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "0");

    BN_set_word(bn, 0x1A2Bu);
    BN_set_negative(bn, 1);
    testing::internal::CaptureStdout();
    BNPrintf(bn);
    BNPrintf(nullptr);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "-1A2B");
    BN_free(bn);
}
