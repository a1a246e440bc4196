// GM/T 2012 ASN.1 cipher text: the crypto library's own SM2 as the oracle in both
// directions, the size answers, the encoding and the refusals with their log lines.
// The program runs in a private working directory with the diagnostic log switched on.
#include "sm2_cipher_gmt.h"
#include "sm2_enc.h"
#include "sm2_key_fixture.h"

#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/err.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>

using mvtest::Bytes;

namespace {

std::string logText()
{
    std::ifstream in("openssl_log1.txt", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Sm2GmtTest : public mvtest::Sm2KeySuite {
protected:
    void SetUp() override { logBefore = logText().size(); }
    // What the diagnostic log received during this test.
    std::string newLog() const { return logText().substr(logBefore); }

    static Bytes encryptGmt(const Bytes &m)
    {
        size_t n = 0;
        EXPECT_EQ(1, SM2_ENC_GMT(key(), m.data(), m.size(), nullptr, &n, 0));
        Bytes out(n);
        EXPECT_EQ(1, SM2_ENC_GMT(key(), m.data(), m.size(), out.data(), &n, 0));
        out.resize(n);
        return out;
    }
    static int decryptGmt(const Bytes &c, Bytes *plain)
    {
        size_t n = 0;
        if (!SM2_DEC_GMT(key(), c.data(), c.size(), nullptr, &n, 0))
            return 0;
        EXPECT_EQ(c.size(), n);
        plain->assign(n, 0);
        int ok = SM2_DEC_GMT(key(), c.data(), c.size(), plain->data(), &n, 0);
        plain->resize(ok ? n : 0);
        return ok;
    }
    // The library's own SM2 decryption and encryption on the same key.
    static int libDecrypt(const Bytes &c, Bytes *plain, EVP_PKEY *pkey = nullptr)
    {
        EVP_PKEY_CTX *ctx =
            EVP_PKEY_CTX_new_from_pkey(nullptr, pkey ? pkey : keys->pkey.get(), nullptr);
        size_t n = 0;
        int ok = ctx && EVP_PKEY_decrypt_init(ctx) == 1
                 && EVP_PKEY_decrypt(ctx, nullptr, &n, c.data(), c.size()) == 1;
        if (ok) {
            plain->assign(n, 0);
            ok = EVP_PKEY_decrypt(ctx, plain->data(), &n, c.data(), c.size()) == 1;
            plain->resize(n);
        }
        EVP_PKEY_CTX_free(ctx);
        return ok;
    }
    static Bytes libEncrypt(const Bytes &m)
    {
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, keys->pkey.get(), nullptr);
        size_t n = 0;
        Bytes out;
        if (ctx && EVP_PKEY_encrypt_init(ctx) == 1
            && EVP_PKEY_encrypt(ctx, nullptr, &n, m.data(), m.size()) == 1) {
            out.resize(n);
            if (EVP_PKEY_encrypt(ctx, out.data(), &n, m.data(), m.size()) == 1)
                out.resize(n);
            else
                out.clear();
        }
        EVP_PKEY_CTX_free(ctx);
        return out;
    }
    // Decodes, lets the caller change the object, encodes again.
    template <class Fn> static Bytes reencode(const Bytes &der, Fn change)
    {
        const unsigned char *p = der.data();
        SM2_CIPHERT_2012 *ct = d2i_SM2_CIPHERT_2012(nullptr, &p, static_cast<long>(der.size()));
        EXPECT_NE(nullptr, ct);
        change(ct);
        unsigned char *out = nullptr;
        int len = i2d_SM2_CIPHERT_2012(ct, &out);
        Bytes r(out, out + (len > 0 ? len : 0));
        OPENSSL_free(out);
        SM2_CIPHERT_2012_free(ct);
        return r;
    }

    // The ASN.1 form of a raw cipher text C1 || C2 || C3, built here independently.
    static Bytes gmtFromRaw(const Bytes &raw)
    {
        const size_t mlen = raw.size() - SM2_CIPHER_OVERHEAD;
        SM2_CIPHERT_2012 *ct = SM2_CIPHERT_2012_new();
        BIGNUM *bn = BN_bin2bn(raw.data() + 1, 32, nullptr);
        BN_to_ASN1_INTEGER(bn, ct->x);
        BN_bin2bn(raw.data() + 33, 32, bn);
        BN_to_ASN1_INTEGER(bn, ct->y);
        ASN1_OCTET_STRING_set(ct->ct, raw.data() + 65, static_cast<int>(mlen));
        ASN1_OCTET_STRING_set(ct->hash, raw.data() + 65 + mlen, 32);
        unsigned char *der = nullptr;
        int len = i2d_SM2_CIPHERT_2012(ct, &der);
        Bytes c(der, der + (len > 0 ? len : 0));
        OPENSSL_free(der);
        BN_free(bn);
        SM2_CIPHERT_2012_free(ct);
        return c;
    }

    size_t logBefore = 0;
};

TEST_F(Sm2GmtTest, SizeQueryAnswers)
{
    const std::pair<size_t, size_t> table[] = {
        {0, 109},       {21, 130},      {22, 131},      {127, 236},     {128, 238},
        {148, 258},     {149, 260},     {255, 366},     {256, 368},     {65427, 65539},
        {65428, 65541}, {65535, 65648}, {70000, 70114},
    };
    Bytes m(70000, 0x5A);
    for (auto [inlen, answer] : table) {
        size_t n = 0;
        ASSERT_EQ(1, SM2_ENC_GMT(key(), m.data(), inlen, nullptr, &n, 0)) << inlen;
        EXPECT_EQ(answer, n) << "inlen " << inlen;
    }
    size_t n = 200;
    Bytes out(200);
    EXPECT_EQ(0, SM2_ENC_GMT(key(), m.data(), 0, out.data(), &n, 0)) << "empty message";
    for (size_t inlen : {105u, 106u, 5000u}) {
        EXPECT_EQ(1, SM2_DEC_GMT(key(), m.data(), inlen, nullptr, &n, 0));
        EXPECT_EQ(inlen, n);
    }
}

TEST_F(Sm2GmtTest, LibraryDecryptsOurCipherText)
{
    for (size_t len : {1u, 31u, 32u, 100u, 1000u, 65535u}) {
        Bytes m = message(len, static_cast<unsigned>(len));
        Bytes c = encryptGmt(m);
        ASSERT_FALSE(c.empty());
        size_t largest = 0;
        SM2_ENC_GMT(key(), m.data(), len, nullptr, &largest, 0);
        EXPECT_LE(c.size(), largest);
        Bytes plain;
        ASSERT_EQ(1, libDecrypt(c, &plain)) << "len " << len;
        EXPECT_EQ(m, plain);
    }
}

// A message of 1 byte had 1 chance in 256 to get the key stream 00 and go out as C2 = M,
// which the library refuses; the encryption now draws a new k instead.
TEST_F(Sm2GmtTest, LibraryDecryptsEveryShortMessage)
{
    for (auto [len, times] : {std::pair<size_t, int>{1, 1500}, {2, 200}}) {
        for (int i = 0; i < times; i++) {
            Bytes m = message(len, static_cast<unsigned>(i));
            Bytes c = encryptGmt(m);
            Bytes plain;
            ASSERT_EQ(1, libDecrypt(c, &plain)) << "len " << len << ", encryption " << i;
            ASSERT_EQ(m, plain);
        }
    }
}

TEST_F(Sm2GmtTest, AllZeroKeyStreamIsRefusedLikeTheLibraryDoes)
{
    for (auto &v : mvtest::readVectorFile(MV_SM2_VECTOR_DIR "/sm2_enc_zero_keystream.txt")) {
        auto k = mvtest::sm2KeyFromHex(v["d"].c_str());
        auto lib = mvtest::libraryKey(k.get());
        const Bytes msg = mvtest::fromHex(v["msg"]);
        Bytes c = gmtFromRaw(mvtest::fromHex(v["c1"] + v["c2"] + v["c3"]));
        ASSERT_GT(c.size(), 104u);
        Bytes plain;
        EXPECT_EQ(0, libDecrypt(c, &plain, lib.get())) << "the fixture is not what it claims";
        ERR_clear_error();

        plain.assign(c.size(), 0xEE);
        size_t n = plain.size();
        EXPECT_EQ(0, SM2_DEC_GMT(k.get(), c.data(), c.size(), plain.data(), &n, 0));
        EXPECT_EQ(0u, n);
        EXPECT_NE(msg, Bytes(plain.begin(), plain.begin() + msg.size()));

        // Our encryption with the fixture's k drawn first gives what the library takes.
        Bytes out(300);
        n = out.size();
        {
            mvtest::ReplayRand rnd(5);
            rnd.queue(mvtest::fromHex(v["k"]));
            ASSERT_EQ(1, SM2_ENC_GMT(k.get(), msg.data(), msg.size(), out.data(), &n, 0));
        }
        out.resize(n);
        ASSERT_EQ(1, libDecrypt(out, &plain, lib.get()));
        EXPECT_EQ(msg, plain);
    }
}

TEST_F(Sm2GmtTest, RefusalsLeaveTheErrorQueueAsItWas)
{
    Bytes c = encryptGmt(message(40));
    Bytes offCurve = reencode(c, [](SM2_CIPHERT_2012 *ct) {
        BIGNUM *y = ASN1_INTEGER_to_BN(ct->y, nullptr);
        BN_add_word(y, 1);
        BN_to_ASN1_INTEGER(y, ct->y);
        BN_free(y);
    });
    Bytes garbage(105, 0x30);
    ERR_clear_error();
    for (const Bytes *in : {&offCurve, &garbage}) {
        Bytes plain(in->size());
        size_t n = plain.size();
        EXPECT_EQ(0, SM2_DEC_GMT(key(), in->data(), in->size(), plain.data(), &n, 0));
        EXPECT_EQ(0u, ERR_peek_error()) << ERR_reason_error_string(ERR_peek_error());
    }
}

TEST_F(Sm2GmtTest, WeDecryptTheLibrarysCipherText)
{
    for (size_t len : {1u, 33u, 200u, 4096u}) {
        Bytes m = message(len, static_cast<unsigned>(len) + 9);
        Bytes c = libEncrypt(m);
        ASSERT_FALSE(c.empty());
        Bytes plain;
        ASSERT_EQ(1, decryptGmt(c, &plain)) << "len " << len;
        EXPECT_EQ(m, plain);
    }
}

TEST_F(Sm2GmtTest, RawCipherTextConvertsToTheAsn1Form)
{
    Bytes m = message(77);
    Bytes raw(m.size() + SM2_CIPHER_OVERHEAD);
    size_t n = raw.size();
    ASSERT_EQ(1, SM2_ENC(key(), m.data(), m.size(), raw.data(), &n));

    Bytes c = gmtFromRaw(raw);
    ASSERT_FALSE(c.empty());

    Bytes plain;
    ASSERT_EQ(1, libDecrypt(c, &plain));
    EXPECT_EQ(m, plain);
}

TEST_F(Sm2GmtTest, CoordinatesAreMinimalIntegersAndShortOnesArePaddedBack)
{
    // Encrypt until both a coordinate with its top bit set and one with a leading zero
    // byte have come up (about one encryption in 256 gives the latter).
    bool sawLong = false, sawShort = false;
    Bytes m = message(20);
    for (int i = 0; i < 5000 && !(sawLong && sawShort); i++) {
        Bytes c = encryptGmt(m);
        const unsigned char *p = c.data();
        SM2_CIPHERT_2012 *ct = d2i_SM2_CIPHERT_2012(nullptr, &p, static_cast<long>(c.size()));
        ASSERT_NE(nullptr, ct);
        // content bytes of the DER INTEGER x, its magnitude's length and first byte
        int xlen = i2d_ASN1_INTEGER(ct->x, nullptr) - 2;
        int maglen = ASN1_STRING_length(ct->x);
        int top = ASN1_STRING_get0_data(ct->x)[0];
        EXPECT_EQ(32, ASN1_STRING_length(ct->hash));
        EXPECT_EQ(20, ASN1_STRING_length(ct->ct));
        SM2_CIPHERT_2012_free(ct);
        EXPECT_EQ(maglen + (top >= 0x80 ? 1 : 0), xlen) << "a zero byte only before a set top bit";
        if (maglen == 32 && top >= 0x80)
            sawLong = true; // 33 content bytes
        if (maglen < 32) {
            sawShort = true;
            Bytes plain;
            ASSERT_EQ(1, decryptGmt(c, &plain));
            EXPECT_EQ(m, plain);
            ASSERT_EQ(1, libDecrypt(c, &plain));
            EXPECT_EQ(m, plain);
        }
    }
    EXPECT_TRUE(sawLong);
    EXPECT_TRUE(sawShort);
}

TEST_F(Sm2GmtTest, MessageLimit)
{
    Bytes m = message(65536);
    size_t n = 70000;
    Bytes out(n);
    EXPECT_EQ(0, SM2_ENC_GMT(key(), m.data(), m.size(), out.data(), &n, 0));
    n = out.size();
    EXPECT_EQ(1, SM2_ENC_GMT(key(), m.data(), 65535, out.data(), &n, 0));
}

TEST_F(Sm2GmtTest, TooSmallCapacityWritesNothing)
{
    Bytes m = message(50);
    Bytes out(200, 0xA5);
    // below any encoding of 50 bytes whose coordinates have 30 bytes or more
    size_t n = 140;
    EXPECT_EQ(0, SM2_ENC_GMT(key(), m.data(), m.size(), out.data(), &n, 0));
    EXPECT_EQ(Bytes(out.size(), 0xA5), out);
}

TEST_F(Sm2GmtTest, TrailingBytesAreIgnored)
{
    Bytes m = message(64);
    Bytes c = encryptGmt(m);
    c.insert(c.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    Bytes plain;
    ASSERT_EQ(1, decryptGmt(c, &plain));
    EXPECT_EQ(m, plain);
}

TEST_F(Sm2GmtTest, HashOfWrongLengthIsLogged)
{
    Bytes m = message(64);
    Bytes c = encryptGmt(m);
    for (int hlen : {31, 33}) {
        Bytes bad = reencode(c, [hlen](SM2_CIPHERT_2012 *ct) {
            unsigned char h[33] = {0};
            ASN1_OCTET_STRING_set(ct->hash, h, hlen);
        });
        Bytes plain;
        size_t before = logText().size();
        EXPECT_EQ(0, decryptGmt(bad, &plain)) << hlen;
        EXPECT_EQ("hashmac length is not 32\n", logText().substr(before)) << hlen;
    }
}

TEST_F(Sm2GmtTest, ShortAndUndecodableInput)
{
    Bytes c = encryptGmt(message(10));
    ASSERT_GT(c.size(), 105u);
    Bytes out(200);
    size_t n = out.size();
    EXPECT_EQ(0, SM2_DEC_GMT(key(), c.data(), 104, out.data(), &n, 0));
    EXPECT_EQ(0, SM2_DEC_GMT(key(), c.data(), 104, nullptr, &n, 0));
    EXPECT_EQ("", newLog()) << "104 bytes are refused before decoding";

    Bytes garbage(105, 0x41);
    n = out.size();
    EXPECT_EQ(0, SM2_DEC_GMT(key(), garbage.data(), garbage.size(), out.data(), &n, 0));
    EXPECT_EQ("d2i_SM2_CIPHERT_2012 failed\n", newLog());
}

TEST_F(Sm2GmtTest, OversizedCoordinateIsRefused)
{
    Bytes c = encryptGmt(message(40));
    Bytes bad = reencode(c, [](SM2_CIPHERT_2012 *ct) {
        BIGNUM *big = BN_new();
        BN_set_bit(big, 260);
        BN_to_ASN1_INTEGER(big, ct->x);
        BN_free(big);
    });
    Bytes plain;
    EXPECT_EQ(0, decryptGmt(bad, &plain));
}

TEST_F(Sm2GmtTest, TamperedCipherTextLeavesNoPlaintext)
{
    Bytes m = message(100);
    Bytes c = encryptGmt(m);
    for (bool inHash : {false, true}) {
        Bytes bad = reencode(c, [inHash](SM2_CIPHERT_2012 *ct) {
            ASN1_OCTET_STRING *s = inHash ? ct->hash : ct->ct;
            Bytes v(ASN1_STRING_get0_data(s), ASN1_STRING_get0_data(s) + ASN1_STRING_length(s));
            v[3] ^= 0x10;
            ASN1_OCTET_STRING_set(s, v.data(), static_cast<int>(v.size()));
        });
        Bytes out(bad.size(), 0xA5);
        size_t n = out.size();
        EXPECT_EQ(0, SM2_DEC_GMT(key(), bad.data(), bad.size(), out.data(), &n, 0));
        EXPECT_EQ(0u, n);
        for (unsigned char b : out)
            ASSERT_TRUE(b == 0 || b == 0xA5);
    }
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // the log switch is decided at the first logging call: switch it on, in a private
    // working directory
    char dir[] = "/tmp/mv-sm2-gmt-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        return 2;
    std::ofstream("LogConfig") << "";
    int rc = RUN_ALL_TESTS();
    std::remove("LogConfig");
    std::remove("openssl_log1.txt");
    if (chdir("/") == 0)
        rmdir(dir);
    return rc;
}
