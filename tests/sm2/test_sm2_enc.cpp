// SM2 encryption in the raw form C1 || C2 || C3: the GM/T example, round trips, streaming
// with any split, size queries and refusals.
#include "sm2_enc.h"
#include "sm2_key_fixture.h"

#include <gtest/gtest.h>

#include <openssl/err.h>

#include <algorithm>
#include <random>

using mvtest::Bytes;

namespace {

class Sm2EncTest : public mvtest::Sm2KeySuite {
protected:
    static Bytes encryptOneShot(const Bytes &m)
    {
        Bytes out(m.size() + SM2_CIPHER_OVERHEAD);
        size_t n = out.size();
        EXPECT_EQ(1, SM2_ENC(key(), m.data(), m.size(), out.data(), &n));
        EXPECT_EQ(out.size(), n);
        return out;
    }

    // Streams m through the encryptor in the given pieces (the rest in one last piece).
    static Bytes encryptStream(const Bytes &m, const std::vector<size_t> &pieces)
    {
        SM2_CRYPT_CTX ctx;
        EXPECT_EQ(1, SM2_enc_init(&ctx, key()));
        Bytes out;
        size_t off = 0;
        auto feed = [&](size_t len) {
            size_t need = 0;
            EXPECT_EQ(1, SM2_enc_update(&ctx, m.data() + off, len, nullptr, &need));
            Bytes buf(need);
            size_t n = need;
            EXPECT_EQ(1, SM2_enc_update(&ctx, m.data() + off, len, buf.data(), &n));
            out.insert(out.end(), buf.begin(), buf.begin() + n);
            off += len;
        };
        for (size_t p : pieces)
            if (p > 0 && off + p <= m.size())
                feed(p);
        if (off < m.size())
            feed(m.size() - off);
        size_t need = 0;
        EXPECT_EQ(1, SM2_enc_final(&ctx, nullptr, &need));
        Bytes buf(need);
        size_t n = need;
        EXPECT_EQ(1, SM2_enc_final(&ctx, buf.data(), &n));
        EXPECT_EQ(need, n);
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        return out;
    }

    // Streams a cipher text through the decryptor: a first piece of `first` bytes, then
    // the given pieces. Returns the final call's result; the plaintext goes to *plain.
    static int decryptStream(const Bytes &c, size_t first, const std::vector<size_t> &pieces,
                             Bytes *plain, size_t *maxHeld = nullptr)
    {
        SM2_CRYPT_CTX ctx;
        EXPECT_EQ(1, SM2_dec_init(&ctx, key()));
        plain->clear();
        size_t off = 0;
        auto feed = [&](size_t len) {
            size_t need = 0;
            EXPECT_EQ(1, SM2_dec_update(&ctx, c.data() + off, len, nullptr, &need));
            Bytes buf(need + 1);
            size_t n = buf.size();
            if (!SM2_dec_update(&ctx, c.data() + off, len, buf.data(), &n))
                return false;
            EXPECT_EQ(need, n);
            plain->insert(plain->end(), buf.begin(), buf.begin() + n);
            off += len;
            if (maxHeld)
                *maxHeld = std::max(*maxHeld, off - SM2_C1_LENGTH - plain->size());
            return true;
        };
        if (!feed(std::min(first, c.size())))
            return 0;
        for (size_t p : pieces)
            if (off + p <= c.size() && !feed(p))
                return 0;
        if (off < c.size() && !feed(c.size() - off))
            return 0;
        Bytes buf(32);
        size_t n = buf.size();
        int ok = SM2_dec_final(&ctx, buf.data(), &n);
        plain->insert(plain->end(), buf.begin(), buf.begin() + n);
        return ok;
    }
};

std::string vectorPath(const char *name) { return std::string(MV_SM2_VECTOR_DIR) + "/" + name; }

TEST_F(Sm2EncTest, KnownAnswerOfTheStandard)
{
    for (auto &v : mvtest::readVectorFile(vectorPath("sm2_enc_gmt.txt"))) {
        auto k = mvtest::sm2KeyFromHex(v["d"].c_str());
        Bytes msg = mvtest::fromHex(v["msg"]);
        Bytes expect = mvtest::fromHex(v["c1"] + v["c2"] + v["c3"]);
        Bytes out(msg.size() + SM2_CIPHER_OVERHEAD);
        size_t n = out.size();
        {
            mvtest::ReplayRand rnd(7);
            rnd.queue(mvtest::fromHex(v["k"]));
            ASSERT_EQ(1, SM2_ENC(k.get(), msg.data(), msg.size(), out.data(), &n));
        }
        EXPECT_EQ(mvtest::toHex(expect.data(), expect.size()), mvtest::toHex(out.data(), n));

        Bytes plain(msg.size());
        size_t pn = plain.size();
        ASSERT_EQ(1, SM2_DEC(k.get(), expect.data(), expect.size(), plain.data(), &pn));
        EXPECT_EQ(msg, plain);
    }
}

// The fixture's k gives a key stream that begins with two zero bytes: for its 1- and
// 2-byte messages C2 = M.
TEST_F(Sm2EncTest, AllZeroKeyStreamOfTheMessage)
{
    for (auto &v : mvtest::readVectorFile(vectorPath("sm2_enc_zero_keystream.txt"))) {
        auto k = mvtest::sm2KeyFromHex(v["d"].c_str());
        const Bytes msg = mvtest::fromHex(v["msg"]);
        const Bytes c1 = mvtest::fromHex(v["c1"]);
        const Bytes bad = mvtest::fromHex(v["c1"] + v["c2"] + v["c3"]);
        SCOPED_TRACE("message of " + std::to_string(msg.size()) + " bytes");

        // Every decryption path refuses the cipher text and releases nothing.
        Bytes plain(msg.size(), 0xEE);
        size_t n = plain.size();
        EXPECT_EQ(0, SM2_DEC(k.get(), bad.data(), bad.size(), plain.data(), &n));
        EXPECT_EQ(0u, n);
        EXPECT_NE(msg, plain) << "plaintext left";
        std::fill(plain.begin(), plain.end(), 0xEE);
        SM2_CRYPT_CTX ctx;
        ASSERT_EQ(1, SM2_dec_init(&ctx, k.get()));
        n = plain.size();
        ASSERT_EQ(1, SM2_dec_update(&ctx, bad.data(), bad.size(), plain.data(), &n));
        EXPECT_EQ(0u, n);
        n = plain.size();
        EXPECT_EQ(0, SM2_dec_final(&ctx, plain.data(), &n));
        EXPECT_EQ(Bytes(msg.size(), 0xEE), plain);

        // The one-shot encryption draws a new k, and its cipher text decrypts.
        Bytes out(msg.size() + SM2_CIPHER_OVERHEAD);
        n = out.size();
        {
            mvtest::ReplayRand rnd(11);
            rnd.queue(mvtest::fromHex(v["k"]));
            ASSERT_EQ(1, SM2_ENC(k.get(), msg.data(), msg.size(), out.data(), &n));
        }
        ASSERT_EQ(out.size(), n);
        EXPECT_NE(c1, Bytes(out.begin(), out.begin() + SM2_C1_LENGTH)) << "k was kept";
        n = plain.size();
        ASSERT_EQ(1, SM2_DEC(k.get(), out.data(), out.size(), plain.data(), &n));
        EXPECT_EQ(msg, plain);

        // The streaming encryption has not written C1 when it finds out at the final
        // call: it fails there and writes nothing; a new init draws a new k.
        {
            mvtest::ReplayRand rnd(12);
            rnd.queue(mvtest::fromHex(v["k"]));
            ASSERT_EQ(1, SM2_enc_init(&ctx, k.get()));
        }
        EXPECT_EQ(c1, Bytes(ctx.c1, ctx.c1 + SM2_C1_LENGTH));
        n = out.size();
        ASSERT_EQ(1, SM2_enc_update(&ctx, msg.data(), msg.size(), out.data(), &n));
        EXPECT_EQ(0u, n);
        std::fill(out.begin(), out.end(), 0xEE);
        n = out.size();
        EXPECT_EQ(0, SM2_enc_final(&ctx, out.data(), &n));
        EXPECT_EQ(0u, n);
        EXPECT_EQ(Bytes(out.size(), 0xEE), out);
        ASSERT_EQ(1, SM2_enc_init(&ctx, k.get()));
        n = out.size();
        ASSERT_EQ(1, SM2_enc_update(&ctx, msg.data(), msg.size(), out.data(), &n));
        n = out.size();
        ASSERT_EQ(1, SM2_enc_final(&ctx, out.data(), &n));
        n = plain.size();
        ASSERT_EQ(1, SM2_DEC(k.get(), out.data(), out.size(), plain.data(), &n));
        EXPECT_EQ(msg, plain);
    }

    // The rule is about the message's key stream: a 3-byte message keeps the same k.
    auto k = mvtest::sm2KeyFromHex("3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
    const Bytes msg = {'a', 'b', 'c'};
    Bytes out(msg.size() + SM2_CIPHER_OVERHEAD);
    size_t n = out.size();
    {
        mvtest::ReplayRand rnd(13);
        rnd.queue(mvtest::fromHex("59276E27D506861A16680F3AD9C02DCCEF3CC1FA3CDBE4CE6D54B80DEAC1D16D"));
        ASSERT_EQ(1, SM2_ENC(k.get(), msg.data(), msg.size(), out.data(), &n));
    }
    EXPECT_EQ(mvtest::fromHex(mvtest::readVectorFile(vectorPath("sm2_enc_zero_keystream.txt"))[0]["c1"]),
              Bytes(out.begin(), out.begin() + SM2_C1_LENGTH));
    EXPECT_NE(msg, Bytes(out.begin() + SM2_C1_LENGTH, out.begin() + SM2_C1_LENGTH + 3));
    Bytes plain(3);
    n = plain.size();
    ASSERT_EQ(1, SM2_DEC(k.get(), out.data(), out.size(), plain.data(), &n));
    EXPECT_EQ(msg, plain);
}

class Sm2EncLengthTest : public Sm2EncTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(Sm2EncLengthTest, RoundTrip)
{
    const size_t len = GetParam();
    Bytes m = message(len, static_cast<unsigned>(len));
    // the one-shot call refuses an empty message; the streaming calls encrypt it
    Bytes c = len ? encryptOneShot(m) : encryptStream(m, {});
    ASSERT_EQ(len + SM2_CIPHER_OVERHEAD, c.size());
    EXPECT_EQ(0x04, c[0]);

    Bytes plain(len + 1, 0xEE);
    size_t n = plain.size();
    ASSERT_EQ(1, SM2_DEC(key(), c.data(), c.size(), plain.data(), &n));
    ASSERT_EQ(len, n);
    plain.resize(n);
    EXPECT_EQ(m, plain);

    Bytes streamed;
    ASSERT_EQ(1, decryptStream(c, SM2_C1_LENGTH, {1, 31, 32, 33, 64}, &streamed));
    EXPECT_EQ(m, streamed);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Sm2EncLengthTest,
                         ::testing::Values(0, 1, 31, 32, 33, 64, 1000, 1u << 20));

// Splits of the encryptor's input, with the sizes that each step writes.
struct EncSplit {
    const char *name;
    size_t len;
    std::vector<size_t> pieces;
    std::vector<size_t> written; // by each update, then by final
};

class Sm2EncSplitTest : public Sm2EncTest, public ::testing::WithParamInterface<EncSplit> {};

TEST_P(Sm2EncSplitTest, SameBytesAsOneShotForTheSameK)
{
    const EncSplit &s = GetParam();
    Bytes m = message(s.len, 3);
    Bytes oneShot, streamed;
    {
        mvtest::ReplayRand rnd(42);
        oneShot = s.len ? encryptOneShot(m) : Bytes();
    }
    {
        mvtest::ReplayRand rnd(42);
        SM2_CRYPT_CTX ctx;
        ASSERT_EQ(1, SM2_enc_init(&ctx, key()));
        size_t off = 0, step = 0;
        for (size_t p : s.pieces) {
            size_t need = 0;
            ASSERT_EQ(1, SM2_enc_update(&ctx, m.data() + off, p, nullptr, &need));
            EXPECT_EQ(p + static_cast<size_t>(ctx.pending_len) + SM2_C1_LENGTH, need);
            Bytes buf(need);
            size_t n = need;
            ASSERT_EQ(1, SM2_enc_update(&ctx, m.data() + off, p, buf.data(), &n));
            EXPECT_EQ(s.written[step++], n) << "update " << step;
            streamed.insert(streamed.end(), buf.begin(), buf.begin() + n);
            off += p;
        }
        size_t need = 0;
        ASSERT_EQ(1, SM2_enc_final(&ctx, nullptr, &need));
        EXPECT_EQ(s.written[step], need);
        Bytes buf(need);
        size_t n = need;
        ASSERT_EQ(1, SM2_enc_final(&ctx, buf.data(), &n));
        EXPECT_EQ(need, n);
        streamed.insert(streamed.end(), buf.begin(), buf.end());
    }
    if (s.len) {
        EXPECT_EQ(oneShot, streamed);
    }
    Bytes plain(s.len);
    size_t n = plain.size();
    ASSERT_EQ(1, SM2_DEC(key(), streamed.data(), streamed.size(), plain.data(), &n));
    EXPECT_EQ(m, plain);
}

INSTANTIATE_TEST_SUITE_P(
    Splits, Sm2EncSplitTest,
    ::testing::Values(EncSplit{"empty", 0, {}, {97}},
                      EncSplit{"b31", 31, {31}, {0, 128}},
                      EncSplit{"b31_1", 32, {31, 1}, {0, 97, 32}},
                      EncSplit{"b32", 32, {32}, {97, 32}},
                      EncSplit{"b63_1", 64, {63, 1}, {65 + 32, 32, 32}},
                      EncSplit{"b64", 64, {64}, {65 + 64, 32}},
                      EncSplit{"b1_127", 128, {1, 127}, {0, 65 + 128, 32}},
                      EncSplit{"b33_33_33", 99, {33, 33, 33}, {97, 32, 32, 35}}),
    [](const ::testing::TestParamInfo<EncSplit> &i) { return std::string(i.param.name); });

TEST_F(Sm2EncTest, RandomSplitsGiveTheOneShotBytes)
{
    std::mt19937 g(2024);
    for (int round = 0; round < 40; round++) {
        size_t len = 1 + g() % 700;
        Bytes m = message(len, static_cast<unsigned>(round));
        std::vector<size_t> pieces;
        for (size_t left = len; left > 0;) {
            size_t p = 1 + g() % std::min<size_t>(left, 80);
            pieces.push_back(p);
            left -= p;
        }
        Bytes oneShot, streamed;
        {
            mvtest::ReplayRand rnd(round + 1);
            oneShot = encryptOneShot(m);
        }
        {
            mvtest::ReplayRand rnd(round + 1);
            streamed = encryptStream(m, pieces);
        }
        ASSERT_EQ(oneShot, streamed) << "round " << round;

        // decryption with another random split, never holding back more than 63 bytes
        std::vector<size_t> dpieces;
        size_t first = SM2_C1_LENGTH + g() % 40;
        for (size_t left = oneShot.size() - std::min(first, oneShot.size()); left > 0;) {
            size_t p = g() % std::min<size_t>(left + 1, 90);
            dpieces.push_back(p);
            left -= p;
        }
        Bytes plain;
        size_t held = 0;
        ASSERT_EQ(1, decryptStream(oneShot, first, dpieces, &plain, &held)) << "round " << round;
        EXPECT_EQ(m, plain);
        EXPECT_LE(held, 32u + 31u);
    }
}

TEST_F(Sm2EncTest, DecryptionOneByteAtATime)
{
    Bytes m = message(100);
    Bytes c = encryptOneShot(m);
    Bytes plain;
    size_t held = 0;
    ASSERT_EQ(1, decryptStream(c, SM2_C1_LENGTH, std::vector<size_t>(c.size(), 1), &plain, &held));
    EXPECT_EQ(m, plain);
    EXPECT_EQ(63u, held);
}

TEST_F(Sm2EncTest, DecryptionUpdateReleasesWholeBlocksAndHoldsBackTheTail)
{
    Bytes c = encryptOneShot(message(40));
    SM2_CRYPT_CTX ctx;
    ASSERT_EQ(1, SM2_dec_init(&ctx, key()));
    Bytes out(200);
    size_t n = out.size();
    ASSERT_EQ(1, SM2_dec_update(&ctx, c.data(), SM2_C1_LENGTH, out.data(), &n)); // C1 alone
    EXPECT_EQ(0u, n);
    n = 0;
    ASSERT_EQ(1, SM2_dec_update(&ctx, c.data() + 65, 40, nullptr, &n));
    EXPECT_EQ(0u, n); // 40 bytes: 8 leave the tail, no whole block
    n = out.size();
    ASSERT_EQ(1, SM2_dec_update(&ctx, c.data() + 65, 40, out.data(), &n));
    EXPECT_EQ(0u, n);
    n = 0;
    ASSERT_EQ(1, SM2_dec_update(&ctx, c.data() + 105, 32, nullptr, &n));
    EXPECT_EQ(32u, n);
    n = 31; // too small: the required size comes back
    EXPECT_EQ(0, SM2_dec_update(&ctx, c.data() + 105, 32, out.data(), &n));
    EXPECT_EQ(32u, n);
    n = out.size();
    ASSERT_EQ(1, SM2_dec_update(&ctx, c.data() + 105, 32, out.data(), &n));
    EXPECT_EQ(32u, n);
    n = 0;
    ASSERT_EQ(1, SM2_dec_final(&ctx, nullptr, &n));
    EXPECT_EQ(8u, n);
    n = 7; // too small: refused, size kept
    EXPECT_EQ(0, SM2_dec_final(&ctx, out.data() + 32, &n));
    EXPECT_EQ(7u, n);
    n = 8;
    ASSERT_EQ(1, SM2_dec_final(&ctx, out.data() + 32, &n));
    EXPECT_EQ(8u, n);
}

TEST_F(Sm2EncTest, FinishedContextsRefuseFurtherWork)
{
    Bytes m = message(40);
    Bytes out(200);
    SM2_CRYPT_CTX enc;
    ASSERT_EQ(1, SM2_enc_init(&enc, key()));
    size_t n = out.size();
    ASSERT_EQ(1, SM2_enc_update(&enc, m.data(), m.size(), out.data(), &n));
    n = out.size();
    ASSERT_EQ(1, SM2_enc_final(&enc, out.data(), &n));
    n = out.size();
    EXPECT_EQ(0, SM2_enc_update(&enc, m.data(), 32, out.data(), &n))
        << "a block would leave under the key stream of zero bytes";
    n = out.size();
    EXPECT_EQ(0, SM2_enc_final(&enc, out.data(), &n)) << "a second C3";

    Bytes c = encryptOneShot(m);
    SM2_CRYPT_CTX dec;
    ASSERT_EQ(1, SM2_dec_init(&dec, key()));
    n = out.size();
    ASSERT_EQ(1, SM2_dec_update(&dec, c.data(), c.size(), out.data(), &n));
    n = out.size();
    ASSERT_EQ(1, SM2_dec_final(&dec, out.data(), &n));
    n = out.size();
    EXPECT_EQ(0, SM2_dec_update(&dec, c.data() + 65, 40, out.data(), &n));
    n = out.size();
    EXPECT_EQ(0, SM2_dec_final(&dec, out.data(), &n));
}

TEST_F(Sm2EncTest, CipherTextOfOnlyC1AndC3)
{
    Bytes c = encryptStream(Bytes(), {});
    ASSERT_EQ(97u, c.size());
    Bytes plain;
    EXPECT_EQ(1, decryptStream(c, c.size(), {}, &plain));
    EXPECT_TRUE(plain.empty());
    unsigned char out[1];
    size_t n = sizeof(out);
    EXPECT_EQ(1, SM2_DEC(key(), c.data(), c.size(), out, &n));
    EXPECT_EQ(0u, n);
}

TEST_F(Sm2EncTest, SizeQueriesAndCapacities)
{
    Bytes m = message(50);
    size_t n = 0;
    EXPECT_EQ(1, SM2_ENC(key(), m.data(), 0, nullptr, &n));
    EXPECT_EQ(97u, n);
    EXPECT_EQ(1, SM2_ENC(key(), m.data(), m.size(), nullptr, &n));
    EXPECT_EQ(147u, n);
    Bytes out(200);
    n = out.size();
    EXPECT_EQ(0, SM2_ENC(key(), m.data(), 0, out.data(), &n)) << "empty message";
    n = 146;
    EXPECT_EQ(0, SM2_ENC(key(), m.data(), m.size(), out.data(), &n));

    Bytes c = encryptOneShot(m);
    EXPECT_EQ(1, SM2_DEC(key(), c.data(), c.size(), nullptr, &n));
    EXPECT_EQ(50u, n);
    n = 49; // inlen - 98: refused, *outlen untouched
    EXPECT_EQ(0, SM2_DEC(key(), c.data(), c.size(), out.data(), &n));
    EXPECT_EQ(49u, n);
    n = out.size();
    EXPECT_EQ(0, SM2_DEC(key(), c.data(), 96, out.data(), &n));
    EXPECT_EQ(0, SM2_DEC(key(), c.data(), 96, nullptr, &n));

    SM2_CRYPT_CTX ctx;
    ASSERT_EQ(1, SM2_enc_init(&ctx, key()));
    n = 96; // needs 32 + 0 + 65
    EXPECT_EQ(0, SM2_enc_update(&ctx, m.data(), 32, out.data(), &n));
    EXPECT_EQ(97u, n);
    EXPECT_EQ(0, SM2_enc_update(&ctx, m.data(), 0, nullptr, &n)) << "empty update";
    n = 0;
    EXPECT_EQ(1, SM2_enc_final(&ctx, nullptr, &n));
    EXPECT_EQ(97u, n);
    n = 96;
    EXPECT_EQ(0, SM2_enc_final(&ctx, out.data(), &n));
    EXPECT_EQ(97u, n);
}

TEST_F(Sm2EncTest, FirstDecryptionUpdateMustCarryC1)
{
    Bytes c = encryptOneShot(message(10));
    SM2_CRYPT_CTX ctx;
    ASSERT_EQ(1, SM2_dec_init(&ctx, key()));
    Bytes out(64);
    size_t n = out.size();
    EXPECT_EQ(0, SM2_dec_update(&ctx, c.data(), 64, out.data(), &n));
    EXPECT_EQ(0, SM2_dec_update(&ctx, c.data(), 64, nullptr, &n));

    SM2_CRYPT_CTX unset;
    memset(&unset, 0, sizeof(unset));
    EXPECT_EQ(0, SM2_dec_update(&unset, c.data(), c.size(), out.data(), &n)) << "no init";
    EXPECT_EQ(0, SM2_dec_init(&ctx, nullptr));
}

TEST_F(Sm2EncTest, FirstByteIsNotExamined)
{
    Bytes m = message(45);
    Bytes c = encryptOneShot(m);
    c[0] = 0x07;
    Bytes plain(m.size());
    size_t n = plain.size();
    ASSERT_EQ(1, SM2_DEC(key(), c.data(), c.size(), plain.data(), &n));
    EXPECT_EQ(m, plain);
}

// Where a byte is changed, and whether the failure is found by the final C3 check.
struct Tamper {
    const char *name;
    size_t offset; // from the start; counted from the end when fromEnd
    bool fromEnd;
};

class Sm2EncTamperTest : public Sm2EncTest, public ::testing::WithParamInterface<Tamper> {};

TEST_P(Sm2EncTamperTest, RefusedAndNoPlaintextLeftByOneShot)
{
    const Tamper &t = GetParam();
    Bytes m = message(100);
    Bytes c = encryptOneShot(m);
    c[t.fromEnd ? c.size() - 1 - t.offset : t.offset] ^= 0x01;

    Bytes plain(m.size(), 0xA5);
    size_t n = plain.size();
    EXPECT_EQ(0, SM2_DEC(key(), c.data(), c.size(), plain.data(), &n));
    if (t.offset >= 65 || t.fromEnd) {
        EXPECT_EQ(0u, n);
    }
    for (size_t i = 0; i < plain.size(); i++)
        ASSERT_TRUE(plain[i] == 0 || plain[i] == 0xA5) << "plaintext left at " << i;

    Bytes streamed;
    EXPECT_EQ(0, decryptStream(c, 70, {10, 50}, &streamed));
}

INSTANTIATE_TEST_SUITE_P(Bytes, Sm2EncTamperTest,
                         ::testing::Values(Tamper{"c1x", 5, false}, Tamper{"c1y", 40, false},
                                           Tamper{"c2first", 65, false},
                                           Tamper{"c2last", 32, true},
                                           Tamper{"c3first", 31, true},
                                           Tamper{"c3last", 0, true}),
                         [](const ::testing::TestParamInfo<Tamper> &i) {
                             return std::string(i.param.name);
                         });

TEST_F(Sm2EncTest, KeysThatCannotServe)
{
    Bytes m = message(40);
    Bytes c = encryptOneShot(m);
    Bytes out(200);
    size_t n = out.size();
    auto pub = keys->publicOnly();
    EXPECT_EQ(0, SM2_DEC(pub.get(), c.data(), c.size(), out.data(), &n)) << "no private key";

    mvtest::EcKeyPtr bare(EC_KEY_new_by_curve_name(NID_sm2)); // group but no public key
    SM2_CRYPT_CTX ctx;
    EXPECT_EQ(0, SM2_enc_init(&ctx, bare.get()));
    n = out.size();
    EXPECT_EQ(0, SM2_enc_update(&ctx, m.data(), m.size(), out.data(), &n))
        << "a context whose init failed makes no key stream";
    n = out.size();
    EXPECT_EQ(0, SM2_enc_final(&ctx, out.data(), &n)) << "nor a C3";
    EXPECT_EQ(0, SM2_enc_init(&ctx, nullptr));
    EXPECT_EQ(0, SM2_enc_init(nullptr, key()));
}

TEST_F(Sm2EncTest, C1OffTheCurveIsRefusedAndTheErrorQueueKept)
{
    Bytes c = encryptOneShot(message(40));
    c[64] ^= 0x01; // y1 changed: the point leaves the curve

    // An entry of the caller's own is on the queue: it stays, and nothing joins it.
    ERR_clear_error();
    ERR_raise(ERR_LIB_USER, 42);
    const unsigned long mine = ERR_peek_last_error();

    SM2_CRYPT_CTX ctx;
    ASSERT_EQ(1, SM2_dec_init(&ctx, key()));
    Bytes out(200);
    size_t n = out.size();
    EXPECT_EQ(0, SM2_dec_update(&ctx, c.data(), c.size(), out.data(), &n));
    n = out.size();
    EXPECT_EQ(0, SM2_dec_update(&ctx, c.data() + 65, 40, out.data(), &n)) << "context is spent";
    n = out.size();
    EXPECT_EQ(0, SM2_DEC(key(), c.data(), c.size(), out.data(), &n));

    EXPECT_EQ(mine, ERR_get_error());
    EXPECT_EQ(0u, ERR_get_error()) << "queued by the decryption: "
                                   << ERR_reason_error_string(ERR_peek_last_error());
    // Nor on an empty queue.
    n = out.size();
    EXPECT_EQ(0, SM2_DEC(key(), c.data(), c.size(), out.data(), &n));
    EXPECT_EQ(0u, ERR_peek_error());
}

TEST_F(Sm2EncTest, FinalWithFewerThan32BytesAfterC1Fails)
{
    Bytes c = encryptOneShot(message(40));
    SM2_CRYPT_CTX ctx;
    ASSERT_EQ(1, SM2_dec_init(&ctx, key()));
    Bytes out(200);
    size_t n = out.size();
    ASSERT_EQ(1, SM2_dec_update(&ctx, c.data(), 65 + 31, out.data(), &n));
    n = out.size();
    EXPECT_EQ(0, SM2_dec_final(&ctx, out.data(), &n));
}

TEST_F(Sm2EncTest, KeyStreamCounterDoesNotGoRound)
{
    Bytes m = message(64);
    SM2_CRYPT_CTX ctx;
    ASSERT_EQ(1, SM2_enc_init(&ctx, key()));
    Bytes out(200);
    size_t n = out.size();
    ASSERT_EQ(1, SM2_enc_update(&ctx, m.data(), 32, out.data(), &n));
    ctx.counter = 0xFFFFFFFFu; // the last block value of one message
    n = out.size();
    EXPECT_EQ(1, SM2_enc_update(&ctx, m.data(), 32, out.data(), &n));
    n = out.size();
    EXPECT_EQ(0, SM2_enc_update(&ctx, m.data(), 32, out.data(), &n));
}

} // namespace

namespace {

// The code serves any prime-field curve whose coordinates fit in 32 bytes; secp112r2 has
// the cofactor 4, which takes the cofactor multiplication path.
class Sm2EncCurveTest : public ::testing::TestWithParam<int> {};

TEST_P(Sm2EncCurveTest, RoundTripOnOtherPrimeCurves)
{
    mvtest::EcKeyPtr k(EC_KEY_new_by_curve_name(GetParam()));
    ASSERT_TRUE(k && EC_KEY_generate_key(k.get()));
    Bytes m(70, 0x3C);
    Bytes c(m.size() + SM2_CIPHER_OVERHEAD);
    size_t n = c.size();
    ASSERT_EQ(1, SM2_ENC(k.get(), m.data(), m.size(), c.data(), &n));
    Bytes plain(m.size());
    n = plain.size();
    ASSERT_EQ(1, SM2_DEC(k.get(), c.data(), c.size(), plain.data(), &n));
    EXPECT_EQ(m, plain);
}

INSTANTIATE_TEST_SUITE_P(Curves, Sm2EncCurveTest,
                         ::testing::Values(NID_X9_62_prime256v1, NID_secp112r2));

} // namespace
