// The mvtoken tool end to end, and its refusals: bad input exits non-zero with a message
// and leaves the store byte for byte as it was.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include "ossl_ptr.h"
#include "store.h"
#include "token_fixture.h"

using namespace tokentest;

namespace {

std::string repeat(const std::string &text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

class MvtokenCli : public ::testing::Test {
protected:
    std::string store;
    void SetUp() override { store = makeStore(); }
    void TearDown() override { removeTree(store); }
    void run(const std::vector<std::string> &args)
    {
        Result r = runMvtoken(args);
        ASSERT_EQ(r.status, 0) << r.output;
    }
    void provision()
    {
        run({"init-device", "k1", "--label", "Label", "--serial", "S1", "--manufacturer", "M"});
        run({"insert", "k1"});
        run({"create-app", "k1", "app", "--admin-pin", "a", "--user-pin", "u", "--user-retries", "6"});
        run({"create-container", "k1", "app", "c-sm2", "--key", "sm2"});
        run({"create-container", "k1", "app", "c-rsa", "--key", "rsa"});
        run({"issue-cert", "k1", "app", "c-sm2", "--sign", "--subject", "/C=CN/O=Org/CN=Sign Me"});
    }
    std::string writeFile(const std::string &name, const std::string &bytes)
    {
        const std::string path = store + "/../" + name;
        FILE *f = fopen(path.c_str(), "wb");
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
        return path;
    }
};

TEST_F(MvtokenCli, ProvisionsAStoreEndToEnd)
{
    provision();
    mvtoken::StoreData data;
    ASSERT_EQ(mvtoken::Store::read(data), SAR_OK);
    const std::string der = data.devices[0].applications[0].containers[0].signCertDer;
    ASSERT_FALSE(der.empty());

    // The same certificate imported as DER and as PEM.
    run({"import-cert", "k1", "app", "c-rsa", "--enc", writeFile("cert.der", der)});
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.data());
    const mvtoken::UniquePtr<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_NE(x, nullptr);
    const mvtoken::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), x.get());
    char *pem = nullptr;
    long pemLen = BIO_get_mem_data(bio.get(), &pem);
    const std::string pemPath = writeFile("cert.pem", std::string(pem, static_cast<size_t>(pemLen)));
    run({"import-cert", "k1", "app", "c-rsa", "--sign", pemPath});

    ASSERT_EQ(mvtoken::Store::read(data), SAR_OK);
    const auto &rsa = data.devices[0].applications[0].containers[1];
    EXPECT_EQ(rsa.encCertDer, der);
    EXPECT_EQ(rsa.signCertDer, der);

    run({"remove", "k1"});
    Result list = runMvtoken({"list"});
    ASSERT_EQ(list.status, 0);
    for (const char *expected : {"device k1 [removed] label=Label serial=S1 manufacturer=M",
                                 "application app admin-retries=10/10 user-retries=6/6", "container c-sm2 key=sm2",
                                 "sign-cert: /C=CN/O=Org/CN=Sign Me", "container c-rsa key=rsa"})
        EXPECT_NE(list.output.find(expected), std::string::npos) << expected << "\n" << list.output;
}

// A token keeps its label in GBK: the command line's UTF-8 label is stored as GBK bytes
// (the 32-byte limit counts those), and the listing shows it as text again.
TEST_F(MvtokenCli, LabelIsKeptAsGbk)
{
    run({"init-device", "k1", "--label", "中文"});
    run({"init-device", "k2", "--label", repeat("中", 16)});
    run({"init-device", "k3", "--label", "Plain"});
    mvtoken::StoreData data;
    ASSERT_EQ(mvtoken::Store::read(data), SAR_OK);
    ASSERT_EQ(data.devices.size(), 3u);
    EXPECT_EQ(data.devices[0].label, "\xd6\xd0\xce\xc4");
    EXPECT_EQ(data.devices[1].label, repeat("\xd6\xd0", 16));
    EXPECT_EQ(data.devices[2].label, "Plain");

    // A label written through the library need not be GBK: its bytes show escaped.
    {
        mvtoken::StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        txn.data().devices[2].label = "A\xff";
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    Result list = runMvtoken({"list"});
    ASSERT_EQ(list.status, 0);
    for (const std::string &expected : {std::string("device k1 [removed] label=中文 "),
                                       "device k2 [removed] label=" + repeat("中", 16) + " ",
                                       std::string("device k3 [removed] label=A\\xff ")})
        EXPECT_NE(list.output.find(expected), std::string::npos) << expected << "\n" << list.output;
}

TEST_F(MvtokenCli, BadInputChangesNothing)
{
    provision();
    const std::string notACert = writeFile("junk.bin", "this is no certificate");
    const std::string fifo = store + "/../cert.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = writeFile("huge.pem", std::string(65 * 1024, 'A'));
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"init-device", "k1"},                                    // exists
        {"init-device"},                                          // no name
        {"init-device", "k2", "--label", std::string(33, 'L')},   // too long for the label field
        {"init-device", "k2", "--label", repeat("中", 16) + "L"},   // 33 bytes in GBK
        {"init-device", "k2", "--label", "Key\xe0\xb8\x81"},        // Thai: no GBK form
        {"init-device", "k2", "--label", "Key\xff"},                  // not UTF-8
        {"init-device", "k2", "--colour", "red"},                 // unknown option
        {"init-device", std::string(64, 'n')},                    // name too long
        {"init-device", std::string(40, 'n')},                    // fits no label, and none given
        {"insert", "k1"},                                         // already inserted
        {"insert", "nobody"},
        {"remove", "nobody"},
        {"create-app", "k1", "app", "--admin-pin", "a", "--user-pin", "u"},           // exists
        {"create-app", "k1", "app2", "--admin-pin", "a"},                             // no user PIN
        {"create-app", "k1", "app2", "--admin-pin", "a", "--user-pin", "u", "--user-retries", "0"},
        {"create-app", "k1", "app2", "--admin-pin", "a", "--user-pin", "u", "--admin-retries", "x"},
        {"create-app", "k1", "app2", "--admin-pin", "", "--user-pin", "u"},
        {"create-app", "nobody", "app2", "--admin-pin", "a", "--user-pin", "u"},
        {"create-container", "k1", "app", "c-sm2", "--key", "sm2"},                   // exists
        {"create-container", "k1", "app", "c3", "--key", "dsa"},
        {"create-container", "k1", "nope", "c3", "--key", "sm2"},
        {"import-cert", "k1", "app", "c-sm2", "--sign", notACert},
        {"import-cert", "k1", "app", "c-sm2", "--sign", "/nonexistent/file"},
        {"import-cert", "k1", "app", "c-sm2", "--sign", "/dev/zero"},                 // endless, no file
        {"import-cert", "k1", "app", "c-sm2", "--sign", fifo},                        // would block
        {"import-cert", "k1", "app", "c-sm2", "--sign", huge},                        // far too large
        {"import-cert", "k1", "app", "c-sm2", "--sign", "--enc", notACert},
        {"issue-cert", "k1", "app", "c-sm2", "--subject", "/CN=x"},                   // neither --sign nor --enc
        {"issue-cert", "k1", "app", "c-sm2", "--enc", "--subject", "CN=no-slash"},
        {"issue-cert", "k1", "app", "c-sm2", "--enc", "--subject", "/XX=unknown"},
        {"issue-cert", "k1", "app", "c-sm2", "--enc", "--subject", "/CN"},
        {"issue-cert", "k1", "app", "ghost", "--enc", "--subject", "/CN=x"},
        {"list", "extra"},
    };
    const std::string before = readFile(store + "/store.db");
    for (const auto &args : bad) {
        std::string line;
        for (const auto &a : args)
            line += a + " ";
        Result r = runMvtoken(args);
        EXPECT_NE(r.status, 0) << line;
        EXPECT_NE(r.output.find("mvtoken: "), std::string::npos) << line << "\n" << r.output;
        EXPECT_EQ(readFile(store + "/store.db"), before) << line;
    }
}

// Names come from whoever made the store: the listing shows their control bytes and bytes
// that are no UTF-8 escaped, so that no name sends a terminal sequence or fakes a line.
TEST_F(MvtokenCli, ListEscapesWhatNamesHold)
{
    // What the commands themselves print about such names is escaped the same way.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"init-device", "k\x1b[2Jx", "--label", "\xe4\xbd\xa0\x1b"},
          {"insert", "k\x1b[2Jx"},
          {"create-app", "k\x1b[2Jx", "a\x1b]0;t\x07", "--admin-pin", "12345678", "--user-pin", "123456"},
          {"create-container", "k\x1b[2Jx", "a\x1b]0;t\x07", "c\x1b[1m", "--key", "sm2"},
          {"init-device", "k\x1b[2Jx"}}) { // refused: the message names it escaped too
        Result r = runMvtoken(args);
        EXPECT_EQ(r.output.find('\x1b'), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("\\x1b"), std::string::npos) << r.output;
    }
    run({"init-device", "two\ndevice fake [inserted]", "--label", "L"});
    run({"init-device", "\xe5\xaf\x86\xe9\x92\xa5\\"}); // UTF-8 stays, the backslash doubles
    Result list = runMvtoken({"list"});
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(list.output.find('\x1b'), std::string::npos) << list.output;
    for (const char *expected : {"device k\\x1b[2Jx [inserted] label=\xe4\xbd\xa0\\x1b ",
                                 "device two\\x0adevice fake [inserted] [removed] label=L ",
                                 "device \xe5\xaf\x86\xe9\x92\xa5\\\\ [removed]"})
        EXPECT_NE(list.output.find(expected), std::string::npos) << expected << "\n" << list.output;
    EXPECT_EQ(list.output.find("\ndevice fake"), std::string::npos) << list.output;
}

// Ids and insertion counts never wrap: at the end of their ranges the change that needs one
// more is refused and changes nothing; a store beyond them is damaged and refused as such.
TEST_F(MvtokenCli, IdsAndInsertionCountsNeverWrap)
{
    provision();
    const std::string path = store + "/store.db";
    const std::string provisioned = readFile(path);
    auto rewrite = [&](const std::string &from, const std::string &to) {
        std::string text = provisioned;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        FILE *f = fopen(path.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        return text;
    };
    struct Case {
        const char *from, *to;
        std::vector<std::string> args;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"next-id 4\n", "next-id 9223372036854775807\n",
         {"create-app", "k1", "app2", "--admin-pin", "a", "--user-pin", "u"}, "the store has no id left to give"},
        {"next-id 4\n", "next-id 9223372036854775807\n", {"create-container", "k1", "app", "c3", "--key", "sm2"},
         "the store has no id left to give"},
        {"device 6b31 1 1 ", "device 6b31 0 9223372036854775807 ", {"insert", "k1"},
         "device \"k1\" cannot be inserted again: its insertion count is used up"},
        {"next-id 4\n", "next-id 18446744073709551615\n",
         {"create-app", "k1", "app2", "--admin-pin", "a", "--user-pin", "u"}, "is damaged"},
        {"device 6b31 1 1 ", "device 6b31 0 18446744073709551615 ", {"insert", "k1"}, "is damaged"},
        {"next-id 4\n", "next-id 18446744073709551615\n", {"list"}, "is damaged"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " with " + c.to);
        const std::string text = rewrite(c.from, c.to);
        Result r = runMvtoken(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(readFile(path), text);
    }
}

// Certificate subjects are listed as their text, escaped once by the listing's one rule:
// Chinese stays, a control character becomes \x1b, a backslash \\.
TEST_F(MvtokenCli, ListShowsSubjectsAsTextEscapedOnce)
{
    run({"init-device", "k1"});
    run({"create-app", "k1", "app", "--admin-pin", "a", "--user-pin", "u"});
    const std::vector<std::pair<std::string, std::string>> subjects = {
        {"/C=CN/O=中文组织/CN=张三", "/C=CN/O=中文组织/CN=张三"},
        {"/C=CN/O=Org/CN=a\x1b[2Jb", "/C=CN/O=Org/CN=a\\x1b[2Jb"},
        {"/C=CN/O=Org/CN=back\\\\slash", "/C=CN/O=Org/CN=back\\\\slash"},
        {"/C=CN/CN=密钥\x7f/OU=x", "/C=CN/CN=密钥\\x7f/OU=x"},
    };
    for (size_t i = 0; i < subjects.size(); ++i) {
        const std::string con = "c" + std::to_string(i);
        run({"create-container", "k1", "app", con, "--key", "sm2"});
        run({"issue-cert", "k1", "app", con, "--sign", "--subject", subjects[i].first});
    }
    const Result list = runMvtoken({"list"});
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_EQ(list.output.find('\x1b'), std::string::npos) << list.output;
    for (const auto &s : subjects)
        EXPECT_NE(list.output.find("sign-cert: " + s.second + "\n"), std::string::npos) << s.second << "\n" << list.output;
}

// Out of memory ends a command with a message and a non-zero status, never with an abort
// and never by calling a sound store damaged; the store stays as it was. The limits run
// from the least address space in which the tool starts at all to one in which the
// listing of a large store succeeds.
TEST_F(MvtokenCli, OutOfMemoryIsAMessageNeverADamagedStore)
{
#ifdef TOKENTEST_ASAN
    GTEST_SKIP() << "AddressSanitizer needs its whole address space";
#endif
    provision();
    {
        mvtoken::StoreTransaction txn;
        ASSERT_EQ(txn.status(), SAR_OK);
        txn.data().devices[0].manufacturer.assign(6 << 20, 'M'); // 12 MB of hex
        ASSERT_EQ(txn.commit(), SAR_OK);
    }
    const std::string before = readFile(store + "/store.db");
    const Result whole = runMvtoken({"list"});
    ASSERT_EQ(whole.status, 0) << whole.output.substr(0, 300);

    constexpr rlim_t kStep = 2 << 20;
    rlim_t limit = kStep;
    while (runMvtoken({"--help"}, limit).status != 0 && limit < (rlim_t(1) << 30))
        limit += kStep;
    int outOfMemory = 0;
    for (;; limit += kStep) {
        ASSERT_LT(limit, rlim_t(1) << 30);
        SCOPED_TRACE(limit);
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"list"}, {"create-app", "k1", "more", "--admin-pin", "a", "--user-pin", "u"}}) {
            const Result r = runMvtoken(args, limit);
            EXPECT_EQ(r.output.find("damaged"), std::string::npos) << args[0] << ": " << r.output.substr(0, 300);
            if (r.status != 0) {
                EXPECT_EQ(r.status, 1) << args[0] << ": " << r.output.substr(0, 300);
                EXPECT_NE(r.output.find("mvtoken: out of memory\n"), std::string::npos)
                    << args[0] << ": " << r.output.substr(0, 300);
                ++outOfMemory;
            } else if (args[0] == "list") {
                EXPECT_EQ(r.output, whole.output);
            }
        }
        if (readFile(store + "/store.db") != before)
            break; // the change went through: the largest limit that matters
    }
    EXPECT_GT(outOfMemory, 0);
}

// A store that others could change is refused with the folder and the reason, unchanged.
TEST_F(MvtokenCli, RefusesAStoreOthersCanWrite)
{
    run({"init-device", "k1"});
    ASSERT_EQ(chmod(store.c_str(), 0777), 0);
    const std::string before = readFile(store + "/store.db");
    for (const std::vector<std::string> &args : {std::vector<std::string>{"list"}, {"insert", "k1"}}) {
        Result r = runMvtoken(args);
        EXPECT_NE(r.status, 0) << args[0];
        EXPECT_NE(r.output.find("the store folder " + store + " is writable by group and others (mode 0777)"),
                  std::string::npos)
            << r.output;
    }
    EXPECT_EQ(readFile(store + "/store.db"), before);
    struct stat st;
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

} // namespace
