// SM3 key derivation: the counter contract and the length limit, checked against
// SM3(Z || BE32(counter)) computed with the crypto library's own SM3.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <openssl/evp.h>

#include "kdf.h"
#include "vector_file.h"

using mvtest::Bytes;

namespace {

// Key stream blocks for counters first..first+blocks-1, computed independently.
Bytes expectedStream(const Bytes &z, uint32_t first, size_t blocks)
{
    Bytes out;
    for (size_t i = 0; i < blocks; i++) {
        uint32_t ct = first + static_cast<uint32_t>(i);
        Bytes in = z;
        in.push_back(static_cast<unsigned char>(ct >> 24));
        in.push_back(static_cast<unsigned char>(ct >> 16));
        in.push_back(static_cast<unsigned char>(ct >> 8));
        in.push_back(static_cast<unsigned char>(ct));
        unsigned char md[32];
        unsigned int len = 0;
        EVP_Digest(in.data(), in.size(), md, &len, EVP_sm3(), nullptr);
        out.insert(out.end(), md, md + 32);
    }
    return out;
}

Bytes sharedSecret()
{
    Bytes z(64);
    for (size_t i = 0; i < z.size(); i++)
        z[i] = static_cast<unsigned char>(0xC3 ^ (i * 29));
    return z;
}

} // namespace

struct KdfLengthCase {
    size_t outlen;
    uint32_t advance;
};

class KdfLength : public ::testing::TestWithParam<KdfLengthCase> {};

TEST_P(KdfLength, ProducesPrefixOfStreamAndAdvancesCounter)
{
    const KdfLengthCase &kc = GetParam();
    Bytes z = sharedSecret();
    Bytes out(kc.outlen + 8, 0xEE);
    uint32_t counter = 1;
    ASSERT_EQ(x9_63_kdf(&counter, z.data(), z.size(), kc.outlen, out.data()), 1);
    EXPECT_EQ(counter, 1 + kc.advance);
    Bytes want = expectedStream(z, 1, kc.advance);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + kc.outlen, want.begin()));
    for (size_t i = kc.outlen; i < out.size(); i++)
        ASSERT_EQ(out[i], 0xEE) << "written beyond the output length at " << i;
}

INSTANTIATE_TEST_SUITE_P(Lengths, KdfLength,
                         ::testing::Values(KdfLengthCase{0, 0}, KdfLengthCase{1, 1},
                                           KdfLengthCase{32, 1}, KdfLengthCase{33, 2},
                                           KdfLengthCase{64, 2}, KdfLengthCase{100, 4}));

TEST(KdfCounter, SplitsOfWholeBlocksContinueTheStream)
{
    Bytes z = sharedSecret();
    Bytes one(64), two(64);
    uint32_t c1 = 1, c2 = 1;
    ASSERT_EQ(x9_63_kdf(&c1, z.data(), z.size(), 64, one.data()), 1);
    ASSERT_EQ(x9_63_kdf(&c2, z.data(), z.size(), 32, two.data()), 1);
    ASSERT_EQ(x9_63_kdf(&c2, z.data(), z.size(), 32, two.data() + 32), 1);
    EXPECT_EQ(one, two);
    EXPECT_EQ(c1, 3u);
    EXPECT_EQ(c2, 3u);

    // 40 then 24 bytes: the short second block of the first call wastes its counter value.
    Bytes split(64);
    uint32_t c3 = 1;
    ASSERT_EQ(x9_63_kdf(&c3, z.data(), z.size(), 40, split.data()), 1);
    ASSERT_EQ(x9_63_kdf(&c3, z.data(), z.size(), 24, split.data() + 40), 1);
    EXPECT_NE(split, one);
    EXPECT_TRUE(std::equal(split.begin(), split.begin() + 40, one.begin()));
    Bytes third = expectedStream(z, 3, 1);
    EXPECT_TRUE(std::equal(split.begin() + 40, split.end(), third.begin()));
    EXPECT_EQ(c3, 4u);
}

TEST(KdfCounter, WrapsAtTheTopOfItsRange)
{
    Bytes z = sharedSecret();
    Bytes out(64);
    uint32_t counter = 0xFFFFFFFFu;
    ASSERT_EQ(x9_63_kdf(&counter, z.data(), z.size(), 64, out.data()), 1);
    EXPECT_EQ(counter, 1u);
    Bytes want = expectedStream(z, 0xFFFFFFFFu, 2);
    EXPECT_EQ(out, want);
}

TEST(KdfLimit, LongestRequestIsAcceptedOneMoreIsRefused)
{
    const size_t limit = 0x1FFFFFE0;
    Bytes z = {0x01, 0x02, 0x03};
    uint32_t counter = 1;

    testing::internal::CaptureStderr();
    unsigned char probe = 0x5A;
    EXPECT_EQ(x9_63_kdf(&counter, z.data(), z.size(), limit + 1, &probe), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kdf(33):");
    EXPECT_EQ(counter, 1u);
    EXPECT_EQ(probe, 0x5A);

    std::vector<unsigned char> out(limit);
    testing::internal::CaptureStderr();
    ASSERT_EQ(x9_63_kdf(&counter, z.data(), z.size(), limit, out.data()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(counter, 1u + 16777215u);
    Bytes first = expectedStream(z, 1, 1);
    Bytes last = expectedStream(z, 16777215u, 1);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
    EXPECT_TRUE(std::equal(last.begin(), last.end(), out.end() - 32));
}
