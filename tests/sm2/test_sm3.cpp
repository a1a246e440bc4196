// SM3: the standard's examples, padding boundaries and update splits against the
// crypto library's own SM3 digest.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "sm3.h"
#include "vector_file.h"

using mvtest::Bytes;

namespace {

Bytes librarySm3(const Bytes &msg)
{
    Bytes md(32);
    unsigned int len = 0;
    if (!EVP_Digest(msg.data(), msg.size(), md.data(), &len, EVP_sm3(), nullptr) || len != 32)
        throw std::runtime_error("EVP_Digest failed");
    return md;
}

Bytes patternMessage(size_t n)
{
    Bytes m(n);
    for (size_t i = 0; i < n; i++)
        m[i] = static_cast<unsigned char>(i * 131 + (i >> 8) * 7 + 1);
    return m;
}

// Hashes msg through SM3_Update in chunks of the given sizes (the last repeats).
Bytes sm3InChunks(const Bytes &msg, const std::vector<size_t> &chunks)
{
    SM3_CTX c;
    SM3_Init(&c);
    size_t pos = 0, i = 0;
    while (pos < msg.size()) {
        size_t n = std::min(chunks[std::min(i, chunks.size() - 1)], msg.size() - pos);
        EXPECT_EQ(SM3_Update(&c, msg.data() + pos, n), 1);
        pos += n;
        i++;
    }
    Bytes md(32);
    EXPECT_EQ(SM3_Final(md.data(), &c), 32);
    return md;
}

} // namespace

TEST(Sm3KnownAnswer, StandardExamplesThroughEveryEntry)
{
    auto cases = mvtest::readVectorFile(MV_SM2_VECTOR_DIR "/sm3.txt");
    ASSERT_EQ(cases.size(), 3u);
    for (auto &tc : cases) {
        Bytes msg = mvtest::fromHex(tc["msg"]);
        std::string want = tc["md"];
        unsigned char md[32];
        EXPECT_EQ(SM3(msg.data(), msg.size(), md), md);
        EXPECT_EQ(mvtest::toHex(md, 32), want);
        Bytes whole = sm3InChunks(msg, {msg.size()});
        EXPECT_EQ(mvtest::toHex(whole.data(), 32), want);
        Bytes bytewise = sm3InChunks(msg, {1});
        EXPECT_EQ(mvtest::toHex(bytewise.data(), 32), want);
    }
}

struct SplitCase {
    size_t length;
    std::vector<size_t> chunks;
};

class Sm3AgainstLibrary : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Sm3AgainstLibrary, SameDigest)
{
    const SplitCase &sc = GetParam();
    Bytes msg = patternMessage(sc.length);
    Bytes want = librarySm3(msg);
    EXPECT_EQ(sm3InChunks(msg, sc.chunks), want);
    unsigned char md[32];
    SM3(msg.data(), msg.size(), md);
    EXPECT_EQ(Bytes(md, md + 32), want);
}

// Lengths around the padding boundaries (55 fits one padding block, 56..63 need two,
// 64 compresses a full block in the update) and several ways to split them.
INSTANTIATE_TEST_SUITE_P(
    Lengths, Sm3AgainstLibrary,
    ::testing::Values(SplitCase{1, {1}}, SplitCase{55, {55}}, SplitCase{55, {1}},
                      SplitCase{56, {56}}, SplitCase{56, {55, 1}}, SplitCase{63, {63}},
                      SplitCase{64, {64}}, SplitCase{64, {63, 1}}, SplitCase{64, {1}},
                      SplitCase{65, {65}}, SplitCase{65, {64, 1}}, SplitCase{127, {127}},
                      SplitCase{127, {63, 64}}, SplitCase{128, {128}}, SplitCase{128, {1, 127}},
                      SplitCase{128, {64}}, SplitCase{128, {3}}, SplitCase{1 << 20, {1 << 20}},
                      SplitCase{1 << 20, {1000}}, SplitCase{1 << 20, {7, 4093, 65536}}));

TEST(Sm3EmptyMessage, FinalAndOneShotGiveTheStandardDigest)
{
    const std::string want = "1ab21d8355cfa17f8e61194831e81a8f22bec8c728fefb747ed035eb5082aa2b";
    EXPECT_EQ(mvtest::toHex(librarySm3(Bytes()).data(), 32), want);

    SM3_CTX c;
    unsigned char md[32];
    std::memset(md, 0xAA, sizeof(md));
    SM3_Init(&c);
    EXPECT_EQ(SM3_Update(&c, "", 0), 1);
    EXPECT_EQ(SM3_Final(md, &c), 32);
    EXPECT_EQ(mvtest::toHex(md, 32), want);

    // The one-shot function reports success and has really hashed, also into buf.
    std::memset(md, 0x55, sizeof(md));
    EXPECT_EQ(SM3("", 0, md), md);
    EXPECT_EQ(mvtest::toHex(md, 32), want);
    EXPECT_EQ(mvtest::toHex(SM3(nullptr, 0, nullptr), 32), want);
}

TEST(Sm3EmptyMessage, ZeroLengthUpdateLeavesContext)
{
    SM3_CTX c, before;
    SM3_Init(&c);
    SM3_Update(&c, "abcdefg", 7);
    before = c;
    EXPECT_EQ(SM3_Update(&c, nullptr, 0), 1);
    EXPECT_EQ(std::memcmp(&c, &before, sizeof(c)), 0);
}

TEST(Sm3OneShot, NullOutputUsesStaticBuffer)
{
    unsigned char *first = SM3("abc", 3, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(mvtest::toHex(first, 32),
              "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    Bytes msg = patternMessage(10);
    unsigned char *second = SM3(msg.data(), msg.size(), nullptr);
    EXPECT_EQ(second, first);
    EXPECT_EQ(Bytes(second, second + 32), librarySm3(msg));
}

TEST(Sm3BlockLevel, TransformAndSerialise)
{
    // "abc" padded into one block, compressed from the IV, gives the digest.
    unsigned char block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;
    SM3_CTX c;
    SM3_Init(&c);
    SM3_Transform(c.state, block);
    unsigned char md[32];
    SM3_iv2md(c.state, md);
    EXPECT_EQ(mvtest::toHex(md, 32),
              "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");

    std::memset(md, 0x11, sizeof(md));
    SM3_iv2md(nullptr, md);
    SM3_iv2md(c.state, nullptr);
    EXPECT_EQ(md[0], 0x11);

    unsigned char be[4];
    dwordtobyte(0x01020304u, be);
    EXPECT_EQ(mvtest::toHex(be, 4), "01020304");
}
