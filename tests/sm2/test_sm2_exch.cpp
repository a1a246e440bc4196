// SM2 key exchange: the GM/T example, agreement of both sides, and the refusals.
#include "kdf.h"
#include "sm2_exch.h"
#include "sm2_test_support.h"
#include "vector_file.h"

#include <gtest/gtest.h>

#include <string>

using mvtest::BnPtr;
using mvtest::Bytes;
using mvtest::EcKeyPtr;
using mvtest::PointPtr;

namespace {

const Bytes kIdA = {'A', 'L', 'I', 'C', 'E', '1', '2', '3', '@', 'Y', 'A', 'H', 'O', 'O', '.', 'C', 'O', 'M'};
const Bytes kIdB = {'B', 'I', 'L', 'L', '4', '5', '6', '@', 'Y', 'A', 'H', 'O', 'O', '.', 'C', 'O', 'M'};

BnPtr bnFromHex(const std::string &hex)
{
    BIGNUM *b = nullptr;
    BN_hex2bn(&b, hex.c_str());
    return BnPtr(b);
}

// One side of an exchange: long-term key, ephemeral scalar and point.
struct Party {
    EcKeyPtr key;
    BnPtr r;
    PointPtr R;

    Party(const std::string &dhex, const std::string &rhex)
        : key(mvtest::sm2KeyFromHex(dhex.c_str())), r(bnFromHex(rhex))
    {
        EC_POINT *own = nullptr;
        EXPECT_EQ(1, SM2_DH_key(nullptr, nullptr, r.get(), key.get(), nullptr, 0, nullptr,
                                nullptr, 0, &own, 1, nullptr, 0, nullptr, 0));
        R.reset(own);
    }
    static Party random()
    {
        EcKeyPtr k(EC_KEY_new_by_curve_name(NID_sm2));
        EC_KEY_generate_key(k.get());
        BnPtr r(BN_new());
        BN_rand_range(r.get(), EC_GROUP_get0_order(EC_KEY_get0_group(k.get())));
        char *d = BN_bn2hex(EC_KEY_get0_private_key(k.get()));
        char *rh = BN_bn2hex(r.get());
        Party p(d, rh);
        OPENSSL_free(d);
        OPENSSL_free(rh);
        return p;
    }
    const EC_POINT *pub() const { return EC_KEY_get0_public_key(key.get()); }
    const EC_GROUP *group() const { return EC_KEY_get0_group(key.get()); }
};

struct Outcome {
    int ok = 0;
    Bytes K, S02, S03;
};

Outcome complete(const Party &self, const Party &peer, size_t klen, int initiator,
                 const Bytes &idA = kIdA, const Bytes &idB = kIdB)
{
    Outcome o;
    o.K.assign(klen + 8, 0xEE);
    o.S02.assign(32, 0);
    o.S03.assign(32, 0);
    o.ok = SM2_DH_key(peer.R.get(), peer.pub(), self.r.get(), self.key.get(), o.K.data(), klen,
                      o.S02.data(), o.S03.data(), initiator, nullptr, 0, idA.data(),
                      static_cast<int>(idA.size()), idB.data(), static_cast<int>(idB.size()));
    return o;
}

TEST(Sm2Exchange, KnownAnswerOfTheStandard)
{
    auto v = mvtest::readVectorFile(std::string(MV_SM2_VECTOR_DIR) + "/sm2_exch_gmt.txt").at(0);
    Party a(v["dA"], v["rA"]), b(v["dB"], v["rB"]);
    Bytes idA = mvtest::fromHex(v["IDA"]), idB = mvtest::fromHex(v["IDB"]);
    Outcome oa = complete(a, b, 16, 1, idA, idB);
    Outcome ob = complete(b, a, 16, 0, idA, idB);
    ASSERT_EQ(1, oa.ok);
    ASSERT_EQ(1, ob.ok);
    EXPECT_EQ(mvtest::fromHex(v["K"]), Bytes(oa.K.begin(), oa.K.begin() + 16));
    EXPECT_EQ(mvtest::fromHex(v["S02"]), oa.S02);
    EXPECT_EQ(mvtest::fromHex(v["S03"]), oa.S03);
    EXPECT_EQ(oa.K, ob.K);
}

class Sm2ExchangeKlen : public ::testing::TestWithParam<size_t> {};

TEST_P(Sm2ExchangeKlen, BothSidesAgree)
{
    const size_t klen = GetParam();
    Party a = Party::random(), b = Party::random();
    Outcome oa = complete(a, b, klen, 1), ob = complete(b, a, klen, 0);
    ASSERT_EQ(1, oa.ok);
    ASSERT_EQ(1, ob.ok);
    EXPECT_EQ(oa.K, ob.K);
    EXPECT_EQ(oa.S02, ob.S02);
    EXPECT_EQ(oa.S03, ob.S03);
    EXPECT_NE(oa.S02, oa.S03);
    // exactly klen bytes written
    EXPECT_EQ(Bytes(8, 0xEE), Bytes(oa.K.begin() + klen, oa.K.end()));
    if (klen > 0) {
        EXPECT_NE(Bytes(klen, 0xEE), Bytes(oa.K.begin(), oa.K.begin() + klen));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, Sm2ExchangeKlen, ::testing::Values(0, 16, 33));

TEST(Sm2Exchange, SwappedInitiatorFlagDisagrees)
{
    Party a = Party::random(), b = Party::random();
    Outcome oa = complete(a, b, 16, 1), ob = complete(b, a, 16, 1);
    ASSERT_EQ(1, oa.ok);
    ASSERT_EQ(1, ob.ok);
    EXPECT_NE(oa.K, ob.K);
    EXPECT_NE(oa.S02, ob.S02);
    EXPECT_NE(oa.S03, ob.S03);
}

TEST(Sm2Exchange, OnlyROfTheCaller)
{
    Party a = Party::random();
    EXPECT_EQ(0, SM2_DH_key(nullptr, nullptr, a.r.get(), a.key.get(), nullptr, 0, nullptr,
                            nullptr, 1, nullptr, 1, nullptr, 0, nullptr, 0))
        << "only_R without own_R";
    PointPtr expect(EC_POINT_new(a.group()));
    ASSERT_EQ(1, EC_POINT_mul(a.group(), expect.get(), a.r.get(), nullptr, nullptr, nullptr));
    EXPECT_EQ(0, EC_POINT_cmp(a.group(), expect.get(), a.R.get(), nullptr));
}

TEST(Sm2Exchange, HashesThatAreNotAskedForAreSkipped)
{
    Party a = Party::random(), b = Party::random();
    Outcome full = complete(a, b, 16, 1);
    unsigned char K[16], S03[32];
    ASSERT_EQ(1, SM2_DH_key(b.R.get(), b.pub(), a.r.get(), a.key.get(), K, sizeof(K), nullptr,
                            S03, 1, nullptr, 0, kIdA.data(), static_cast<int>(kIdA.size()),
                            kIdB.data(), static_cast<int>(kIdB.size())));
    EXPECT_EQ(full.S03, Bytes(S03, S03 + 32));
}

TEST(Sm2Exchange, IdentitiesOutOfRange)
{
    Party a = Party::random(), b = Party::random();
    Bytes longest(512, 'x'), tooLong(513, 'x'), none;
    EXPECT_EQ(1, complete(a, b, 16, 1, longest, kIdB).ok);
    EXPECT_EQ(0, complete(a, b, 16, 1, tooLong, kIdB).ok);
    EXPECT_EQ(0, complete(a, b, 16, 1, kIdA, tooLong).ok);
    EXPECT_EQ(0, complete(a, b, 16, 1, none, kIdB).ok);
    EXPECT_EQ(0, complete(a, b, 16, 0, kIdA, none).ok);
}

TEST(Sm2Exchange, KeyLengthAboveTheDerivationLimitFails)
{
    Party a = Party::random(), b = Party::random();
    unsigned char K[1];
    EXPECT_EQ(0, SM2_DH_key(b.R.get(), b.pub(), a.r.get(), a.key.get(), K,
                            static_cast<size_t>(X9_63_KDF_MAX_OUTLEN) + 1, nullptr, nullptr, 1,
                            nullptr, 0, kIdA.data(), 18, kIdB.data(), 17));
}

TEST(Sm2Exchange, SharedPointAtInfinityFails)
{
    Party a = Party::random(), b = Party::random();
    // U = (h t)(P + x'(R) R) with P = -x'(R) R is the point at infinity
    const EC_GROUP *g = a.group();
    BnPtr x(BN_new());
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g, b.R.get(), x.get(), nullptr, nullptr));
    int w = BN_num_bits(EC_GROUP_get0_order(g)) / 2 - 1;
    BN_mask_bits(x.get(), w);
    BN_set_bit(x.get(), w);
    PointPtr evil(EC_POINT_new(g));
    ASSERT_EQ(1, EC_POINT_mul(g, evil.get(), nullptr, b.R.get(), x.get(), nullptr));
    ASSERT_EQ(1, EC_POINT_invert(g, evil.get(), nullptr));
    unsigned char K[16];
    EXPECT_EQ(0, SM2_DH_key(b.R.get(), evil.get(), a.r.get(), a.key.get(), K, sizeof(K), nullptr,
                            nullptr, 1, nullptr, 0, kIdA.data(), 18, kIdB.data(), 17));
}

TEST(Sm2Exchange, PeerPointOffTheCurveIsRefused)
{
    Party a = Party::random(), b = Party::random();
    const EC_GROUP *g = a.group();
    BnPtr x(BN_new()), y(BN_new()), one(BN_new());
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g, b.R.get(), x.get(), y.get(), nullptr));
    BN_add_word(y.get(), 1);
    BN_one(one.get());
    PointPtr bad(EC_POINT_new(g));
    // Jacobian coordinates are taken without a curve check
    ASSERT_EQ(1, EC_POINT_set_Jprojective_coordinates_GFp(g, bad.get(), x.get(), y.get(),
                                                          one.get(), nullptr));
    ASSERT_NE(1, EC_POINT_is_on_curve(g, bad.get(), nullptr));
    unsigned char K[16];
    EXPECT_EQ(0, SM2_DH_key(bad.get(), b.pub(), a.r.get(), a.key.get(), K, sizeof(K), nullptr,
                            nullptr, 1, nullptr, 0, kIdA.data(), 18, kIdB.data(), 17));
    EXPECT_EQ(0, SM2_DH_key(b.R.get(), bad.get(), a.r.get(), a.key.get(), K, sizeof(K), nullptr,
                            nullptr, 1, nullptr, 0, kIdA.data(), 18, kIdB.data(), 17));
}

TEST(Sm2Exchange, MissingArguments)
{
    Party a = Party::random(), b = Party::random();
    unsigned char K[16];
    EXPECT_EQ(0, SM2_DH_key(nullptr, b.pub(), a.r.get(), a.key.get(), K, 16, nullptr, nullptr, 1,
                            nullptr, 0, kIdA.data(), 18, kIdB.data(), 17));
    EXPECT_EQ(0, SM2_DH_key(b.R.get(), b.pub(), a.r.get(), a.key.get(), nullptr, 16, nullptr,
                            nullptr, 1, nullptr, 0, kIdA.data(), 18, kIdB.data(), 17));
    EXPECT_EQ(0, SM2_DH_key(b.R.get(), b.pub(), nullptr, a.key.get(), K, 16, nullptr, nullptr, 1,
                            nullptr, 0, kIdA.data(), 18, kIdB.data(), 17));
    // own_R receives R even when the exchange itself fails
    EC_POINT *own = nullptr;
    EXPECT_EQ(0, SM2_DH_key(b.R.get(), b.pub(), a.r.get(), a.key.get(), K, 16, nullptr, nullptr,
                            1, &own, 0, nullptr, 0, kIdB.data(), 17));
    ASSERT_NE(nullptr, own);
    EXPECT_EQ(0, EC_POINT_cmp(a.group(), own, a.R.get(), nullptr));
    EC_POINT_free(own);
}

} // namespace
