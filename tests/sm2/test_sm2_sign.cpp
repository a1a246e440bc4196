// SM2 signature and Z digest, checked against the standard's example and against the
// crypto library's own SM2 (EVP_DigestSign/EVP_DigestVerify over SM3(Z || M)).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include "sm2.h"
#include "sm2_test_support.h"
#include "sm3.h"
#include "vector_file.h"

using mvtest::Bytes;

namespace {

struct GroupFree { void operator()(EC_GROUP *p) const { EC_GROUP_free(p); } };
struct SigFree { void operator()(ECDSA_SIG *p) const { ECDSA_SIG_free(p); } };
struct BnCtxFree { void operator()(BN_CTX *p) const { BN_CTX_free(p); } };
using Bn = mvtest::BnPtr;
using EcKey = mvtest::EcKeyPtr;
using Group = std::unique_ptr<EC_GROUP, GroupFree>;
using Point = mvtest::PointPtr;
using Sig = std::unique_ptr<ECDSA_SIG, SigFree>;
using Pkey = mvtest::PkeyPtr;
using BnCtx = std::unique_ptr<BN_CTX, BnCtxFree>;

const char kDefaultId[] = "1234567812345678";

Bn bnHex(const std::string &hex)
{
    BIGNUM *b = nullptr;
    BN_hex2bn(&b, hex.c_str());
    return Bn(b);
}

Bn bnBytes(const Bytes &b) { return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr)); }

Bytes sm3(const Bytes &m)
{
    Bytes md(32);
    unsigned int len = 0;
    EVP_Digest(m.data(), m.size(), md.data(), &len, EVP_sm3(), nullptr);
    return md;
}

Bytes randomBytes(size_t n)
{
    Bytes b(n);
    RAND_bytes(b.data(), static_cast<int>(n));
    return b;
}

const BIGNUM *order(const EC_KEY *key) { return EC_GROUP_get0_order(EC_KEY_get0_group(key)); }

EcKey newKey(int nid)
{
    EcKey key(EC_KEY_new_by_curve_name(nid));
    EXPECT_TRUE(key && EC_KEY_generate_key(key.get()));
    return key;
}

// Key on the curve of group with private key d.
EcKey keyFromPrivate(const EC_GROUP *group, const BIGNUM *d)
{
    EcKey key(EC_KEY_new());
    Point pub(EC_POINT_new(group));
    EC_KEY_set_group(key.get(), group);
    EC_KEY_set_private_key(key.get(), d);
    EC_POINT_mul(group, pub.get(), d, nullptr, nullptr, nullptr);
    EC_KEY_set_public_key(key.get(), pub.get());
    return key;
}

// Runs the library's DigestSign or DigestVerify with the signer ID set.
int libraryDigest(EVP_PKEY *pkey, bool sign, const Bytes &msg, Bytes &sig)
{
    EVP_MD_CTX *mctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr);
    int rc = -2;
    if (EVP_PKEY_CTX_set1_id(pctx, kDefaultId, 16) == 1) {
        EVP_MD_CTX_set_pkey_ctx(mctx, pctx);
        if (sign) {
            size_t len = 0;
            if (EVP_DigestSignInit(mctx, nullptr, EVP_sm3(), nullptr, pkey) == 1
                && EVP_DigestSign(mctx, nullptr, &len, msg.data(), msg.size()) == 1) {
                sig.resize(len);
                rc = EVP_DigestSign(mctx, sig.data(), &len, msg.data(), msg.size());
                sig.resize(len);
            }
        } else if (EVP_DigestVerifyInit(mctx, nullptr, EVP_sm3(), nullptr, pkey) == 1) {
            rc = EVP_DigestVerify(mctx, sig.data(), sig.size(), msg.data(), msg.size());
        }
    }
    EVP_MD_CTX_free(mctx);
    EVP_PKEY_CTX_free(pctx);
    return rc;
}

// SM3(Z || M) with our Z and our SM3.
Bytes ourDigest(const EC_KEY *key, const Bytes &msg)
{
    unsigned char z[32];
    EXPECT_EQ(SM2_Z(key, kDefaultId, 16, z), 1);
    Bytes m(z, z + 32);
    m.insert(m.end(), msg.begin(), msg.end());
    unsigned char e[32];
    SM3(m.data(), m.size(), e);
    return Bytes(e, e + 32);
}

Bytes ourSign(const EC_KEY *key, const Bytes &dgst, const BIGNUM *k = nullptr,
              const BIGNUM *x1 = nullptr, int expect = 1)
{
    Bytes sig(ECDSA_size(key));
    unsigned int len = 12345;
    EXPECT_EQ(SM2_sign_ex(0, dgst.data(), dgst.size(), sig.data(), &len, k, x1, key), expect);
    sig.resize(len);
    return sig;
}

Bytes der(const BIGNUM *r, const BIGNUM *s)
{
    Sig sig(ECDSA_SIG_new());
    ECDSA_SIG_set0(sig.get(), BN_dup(r), BN_dup(s));
    unsigned char *p = nullptr;
    int len = i2d_ECDSA_SIG(sig.get(), &p);
    Bytes out(p, p + len);
    OPENSSL_free(p);
    return out;
}

std::pair<Bn, Bn> decode(const Bytes &sig)
{
    const unsigned char *p = sig.data();
    Sig s(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size())));
    EXPECT_TRUE(s);
    const BIGNUM *r = nullptr, *ss = nullptr;
    ECDSA_SIG_get0(s.get(), &r, &ss);
    return {Bn(BN_dup(r)), Bn(BN_dup(ss))};
}

// x(kG) mod n.
Bn x1For(const EC_KEY *key, const BIGNUM *k)
{
    const EC_GROUP *g = EC_KEY_get0_group(key);
    BnCtx ctx(BN_CTX_new());
    Point pt(EC_POINT_new(g));
    Bn x(BN_new());
    EC_POINT_mul(g, pt.get(), k, nullptr, nullptr, ctx.get());
    EC_POINT_get_affine_coordinates(g, pt.get(), x.get(), nullptr, ctx.get());
    BN_nnmod(x.get(), x.get(), order(key), ctx.get());
    return x;
}

// Z computed here from the definition, with the library's SM3.
Bytes independentZ(const EC_KEY *key, const Bytes &id)
{
    const EC_GROUP *g = EC_KEY_get0_group(key);
    BnCtx ctx(BN_CTX_new());
    Bn p(BN_new()), a(BN_new()), b(BN_new()), xG(BN_new()), yG(BN_new()), xA(BN_new()),
        yA(BN_new());
    EC_GROUP_get_curve(g, p.get(), a.get(), b.get(), ctx.get());
    EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), xG.get(), yG.get(), ctx.get());
    EC_POINT_get_affine_coordinates(g, EC_KEY_get0_public_key(key), xA.get(), yA.get(),
                                    ctx.get());
    int flen = (EC_GROUP_get_degree(g) + 7) / 8;
    Bytes m;
    size_t bits = id.size() * 8;
    m.push_back(static_cast<unsigned char>(bits >> 8));
    m.push_back(static_cast<unsigned char>(bits));
    m.insert(m.end(), id.begin(), id.end());
    for (const BIGNUM *v : {a.get(), b.get(), xG.get(), yG.get(), xA.get(), yA.get()}) {
        Bytes field(flen);
        BN_bn2binpad(v, field.data(), flen);
        m.insert(m.end(), field.begin(), field.end());
    }
    return sm3(m);
}

class Sm2Key : public ::testing::Test {
protected:
    void SetUp() override
    {
        key_ = newKey(NID_sm2);
        ASSERT_TRUE(key_);
        lib_ = mvtest::libraryKey(key_.get());
        ASSERT_TRUE(lib_);
        dgst_ = randomBytes(32);
    }
    EcKey key_;
    Pkey lib_;
    Bytes dgst_;
};

} // namespace

TEST(Sm2StandardExample, ZAndSignatureWithGivenK)
{
    auto cases = mvtest::readVectorFile(MV_SM2_VECTOR_DIR "/sm2_sign_gmt.txt");
    ASSERT_EQ(cases.size(), 1u);
    auto &v = cases[0];
    BnCtx ctx(BN_CTX_new());
    Group group(EC_GROUP_new_curve_GFp(bnHex(v["p"]).get(), bnHex(v["a"]).get(),
                                       bnHex(v["b"]).get(), ctx.get()));
    Point gen(EC_POINT_new(group.get()));
    EC_POINT_set_affine_coordinates(group.get(), gen.get(), bnHex(v["xG"]).get(),
                                    bnHex(v["yG"]).get(), ctx.get());
    EC_GROUP_set_generator(group.get(), gen.get(), bnHex(v["n"]).get(), BN_value_one());
    EcKey key = keyFromPrivate(group.get(), bnHex(v["d"]).get());

    Bytes id = mvtest::fromHex(v["id"]);
    unsigned char z[32];
    ASSERT_EQ(SM2_Z(key.get(), id.data(), static_cast<int>(id.size()), z), 1);
    EXPECT_EQ(mvtest::toHex(z, 32), mvtest::toHex(mvtest::fromHex(v["z"]).data(), 32));

    Bytes m(z, z + 32);
    Bytes msg = mvtest::fromHex(v["msg"]);
    m.insert(m.end(), msg.begin(), msg.end());
    unsigned char e[32];
    SM3(m.data(), m.size(), e);
    ASSERT_EQ(Bytes(e, e + 32), mvtest::fromHex(v["e"]));

    Bn k = bnHex(v["k"]);
    Bn x1 = x1For(key.get(), k.get());
    Bytes dgst(e, e + 32);
    Bytes sig = ourSign(key.get(), dgst, k.get(), x1.get());
    EXPECT_EQ(sig, der(bnHex(v["r"]).get(), bnHex(v["s"]).get()));
    EXPECT_EQ(ourSign(key.get(), dgst, k.get(), x1.get()), sig);
    EXPECT_EQ(SM2_verify(0, dgst.data(), dgst.size(), sig.data(), sig.size(), key.get()), 1);
}

TEST_F(Sm2Key, OurSignatureVerifiesWithLibraryAndBack)
{
    for (size_t len : {1, 3, 64, 1000}) {
        Bytes msg = randomBytes(len);
        Bytes sig = ourSign(key_.get(), ourDigest(key_.get(), msg));
        EXPECT_EQ(libraryDigest(lib_.get(), false, msg, sig), 1) << "message length " << len;

        Bytes libSig;
        ASSERT_EQ(libraryDigest(lib_.get(), true, msg, libSig), 1);
        Bytes e = ourDigest(key_.get(), msg);
        EXPECT_EQ(SM2_verify(0, e.data(), e.size(), libSig.data(), libSig.size(), key_.get()), 1);

        // Another message does not verify.
        msg[0] ^= 1;
        EXPECT_EQ(libraryDigest(lib_.get(), false, msg, sig), 0);
    }
}

TEST_F(Sm2Key, WithoutBufferOnlyTheLengthIsAnswered)
{
    unsigned int len = 0;
    ASSERT_EQ(SM2_sign(0, dgst_.data(), 32, nullptr, &len, key_.get()), 1);
    EXPECT_GE(len, 8u);
    EXPECT_LE(len, 72u);
}

TEST_F(Sm2Key, ChangedDigestFailsVerification)
{
    Bytes sig = ourSign(key_.get(), dgst_);
    ASSERT_EQ(SM2_verify(0, dgst_.data(), 32, sig.data(), sig.size(), key_.get()), 1);
    for (size_t i : {0, 17, 31}) {
        Bytes bad = dgst_;
        bad[i] ^= 0x40;
        EXPECT_EQ(SM2_verify(0, bad.data(), 32, sig.data(), sig.size(), key_.get()), 0);
    }
}

TEST_F(Sm2Key, OutOfRangeValuesAreInvalid)
{
    const BIGNUM *n = order(key_.get());
    auto rs = decode(ourSign(key_.get(), dgst_));
    Bn zero(BN_new());
    BN_zero(zero.get());
    Bn nMinusR(BN_new());
    BN_sub(nMinusR.get(), n, rs.first.get());
    Bn one(BN_dup(BN_value_one()));
    Bn nMinusOne(BN_dup(n));
    BN_sub_word(nMinusOne.get(), 1);

    struct { const char *what; const BIGNUM *r, *s; } cases[] = {
        {"r = 0", zero.get(), rs.second.get()},
        {"s = 0", rs.first.get(), zero.get()},
        {"r = n", n, rs.second.get()},
        {"s = n", rs.first.get(), n},
        {"r + s = n", rs.first.get(), nMinusR.get()},
        {"r + s = n, small r", one.get(), nMinusOne.get()},
    };
    for (auto &c : cases) {
        Bytes sig = der(c.r, c.s);
        EXPECT_EQ(SM2_verify(0, dgst_.data(), 32, sig.data(), sig.size(), key_.get()), 0) << c.what;
    }
}

TEST_F(Sm2Key, UndecodableBytesAreAnError)
{
    Bytes good = ourSign(key_.get(), dgst_);
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes oneInteger = {0x30, 0x03, 0x02, 0x01, 0x01};
    Bytes notSequence = {0x04, 0x02, 0x01, 0x01};
    Bytes longLength = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x01};
    struct { const char *what; Bytes bytes; } cases[] = {
        {"empty", {}},
        {"truncated", truncated},
        {"one integer", oneInteger},
        {"not a sequence", notSequence},
        {"length beyond input", longLength},
        {"random", randomBytes(40)},
    };
    for (auto &c : cases)
        EXPECT_EQ(SM2_verify(0, dgst_.data(), 32, c.bytes.data(), c.bytes.size(), key_.get()), -1)
            << c.what;
    EXPECT_EQ(SM2_verify(0, dgst_.data(), 32, nullptr, 10, key_.get()), -1);

    // Bytes after the SEQUENCE within the given length make the signature invalid (the
    // other forms that are not DER: sm2_meth_hooks_test).
    ERR_clear_error();
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0x00, 0xFF, 0x30});
    EXPECT_EQ(SM2_verify(0, dgst_.data(), 32, trailing.data(), trailing.size(), key_.get()), 0);
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_EQ(SM2_verify(0, dgst_.data(), 32, good.data(), good.size(), key_.get()), 1);
}

TEST_F(Sm2Key, GivenValuesThatHitARejectionFail)
{
    const BIGNUM *n = order(key_.get());
    const BIGNUM *d = EC_KEY_get0_private_key(key_.get());
    BnCtx ctx(BN_CTX_new());
    Bn e = bnBytes(dgst_);
    BN_nnmod(e.get(), e.get(), n, ctx.get());

    // r = 0: x1 = n - e.
    Bn x1r0(BN_new());
    BN_mod_sub(x1r0.get(), n, e.get(), n, ctx.get());
    Bn anyK(BN_new());
    BN_set_word(anyK.get(), 7);

    // r + k = n, and s = 0 (k = r*d), with x1 = 5.
    Bn x1(BN_new());
    BN_set_word(x1.get(), 5);
    Bn r(BN_new());
    BN_mod_add(r.get(), e.get(), x1.get(), n, ctx.get());
    Bn kNoRpk(BN_new());
    BN_sub(kNoRpk.get(), n, r.get());
    Bn kS0(BN_new());
    BN_mod_mul(kS0.get(), r.get(), d, n, ctx.get());

    struct { const char *what; const BIGNUM *k, *x1; } cases[] = {
        {"r = 0", anyK.get(), x1r0.get()},
        {"r + k = n", kNoRpk.get(), x1.get()},
        {"s = 0", kS0.get(), x1.get()},
    };
    for (auto &c : cases) {
        Bytes sig = ourSign(key_.get(), dgst_, c.k, c.x1, 0);
        EXPECT_TRUE(sig.empty()) << c.what;
        Sig s(sm2_do_sign(dgst_.data(), 32, c.k, c.x1, key_.get()));
        EXPECT_FALSE(s) << c.what;
    }
    // Only one of the two given: both are drawn and signing succeeds.
    EXPECT_FALSE(ourSign(key_.get(), dgst_, kS0.get(), nullptr).empty());
}

TEST(Sm2Keys, PrivateKeyNMinusOneCannotSign)
{
    EcKey base = newKey(NID_sm2);
    Bn d(BN_dup(order(base.get())));
    BN_sub_word(d.get(), 1);
    EcKey key = keyFromPrivate(EC_KEY_get0_group(base.get()), d.get());
    Bytes dgst = randomBytes(32);
    EXPECT_TRUE(ourSign(key.get(), dgst, nullptr, nullptr, 0).empty());
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(Sm2Keys, MissingKeyPartsAreRefused)
{
    Bytes dgst = randomBytes(32);
    EcKey full = newKey(NID_sm2);
    Bytes sig = ourSign(full.get(), dgst);

    EcKey noPublic(EC_KEY_new_by_curve_name(NID_sm2));
    EC_KEY_set_private_key(noPublic.get(), EC_KEY_get0_private_key(full.get()));
    EXPECT_EQ(SM2_verify(0, dgst.data(), 32, sig.data(), sig.size(), noPublic.get()), -1);
    EXPECT_EQ(SM2_verify(0, dgst.data(), 32, sig.data(), sig.size(), nullptr), -1);
    unsigned char z[32];
    EXPECT_EQ(SM2_Z(noPublic.get(), kDefaultId, 16, z), 0);

    EcKey noPrivate(EC_KEY_new_by_curve_name(NID_sm2));
    EC_KEY_set_public_key(noPrivate.get(), EC_KEY_get0_public_key(full.get()));
    EXPECT_TRUE(ourSign(noPrivate.get(), dgst, nullptr, nullptr, 0).empty());
    EXPECT_EQ(SM2_verify(0, dgst.data(), 32, sig.data(), sig.size(), noPrivate.get()), 1);
}

TEST(Sm2Digest, LongerThanOrderIsCut)
{
    // 64-byte digest with the 256-bit SM2 order: its first 32 bytes are used.
    EcKey key = newKey(NID_sm2);
    Bytes longDgst = randomBytes(64);
    Bytes sig = ourSign(key.get(), longDgst);
    EXPECT_EQ(SM2_verify(0, longDgst.data(), 32, sig.data(), sig.size(), key.get()), 1);

    // 521-bit order: the first 66 bytes are taken and shifted right by 7 bits.
    EcKey p521 = newKey(NID_secp521r1);
    Bytes d70 = randomBytes(70);
    d70[0] &= 0x7F;
    Bn e(BN_bin2bn(d70.data(), 66, nullptr));
    BN_rshift(e.get(), e.get(), 7);
    Bytes e65(65);
    BN_bn2binpad(e.get(), e65.data(), 65);
    sig = ourSign(p521.get(), d70);
    EXPECT_EQ(SM2_verify(0, e65.data(), e65.size(), sig.data(), sig.size(), p521.get()), 1);
    EXPECT_EQ(SM2_verify(0, d70.data(), 65, sig.data(), sig.size(), p521.get()), 0);
}

TEST(Sm2SignSetup, DrawsUsableValuesAndReplacesPrevious)
{
    EcKey key = newKey(NID_sm2);
    BIGNUM *k = BN_new(), *x1 = BN_new();
    BN_set_word(k, 1);
    BN_set_word(x1, 2);
    ASSERT_EQ(SM2_sign_setup(key.get(), nullptr, &k, &x1), 1);
    EXPECT_FALSE(BN_is_zero(k));
    EXPECT_LT(BN_cmp(k, order(key.get())), 0);
    EXPECT_EQ(BN_cmp(x1, x1For(key.get(), k).get()), 0);

    Bytes dgst = randomBytes(32);
    Bytes sig = ourSign(key.get(), dgst, k, x1);
    EXPECT_EQ(SM2_verify(0, dgst.data(), 32, sig.data(), sig.size(), key.get()), 1);
    BN_CTX *ctx = BN_CTX_new();
    EXPECT_EQ(sm2_sign_setup(key.get(), ctx, &k, &x1), 1);
    BN_CTX_free(ctx);
    BN_clear_free(k);
    BN_clear_free(x1);
}

TEST(Sm2SignSetup, MissingKeyIsRecordedInSm2Library)
{
    ERR_clear_error();
    BIGNUM *k = nullptr, *x1 = nullptr;
    EXPECT_EQ(SM2_sign_setup(nullptr, nullptr, &k, &x1), 0);
    EcKey noGroup(EC_KEY_new());
    EXPECT_EQ(SM2_sign_setup(noGroup.get(), nullptr, &k, &x1), 0);
    EXPECT_EQ(k, nullptr);
    for (int i = 0; i < 2; i++) {
        const char *file = nullptr, *func = nullptr;
        int line = 0;
        unsigned long code = ERR_get_error_all(&file, &line, &func, nullptr, nullptr);
        EXPECT_EQ(ERR_GET_LIB(code), ERR_LIB_SM2);
        EXPECT_EQ(ERR_GET_REASON(code), SM2_R_MISSING_KEY_OR_GROUP);
        EXPECT_STREQ(func, "sm2_sign_setup");
        // The record names the place that raised it: that line of the source raises.
        std::ifstream src(file);
        ASSERT_TRUE(src) << file;
        std::string text;
        for (int n = 0; n < line && std::getline(src, text); n++) {
        }
        EXPECT_NE(text.find("ERR_raise"), std::string::npos) << file << ":" << line << ": " << text;
    }
    EXPECT_EQ(ERR_get_error(), 0u);
}

class Sm2ZIds : public ::testing::TestWithParam<size_t> {};

TEST_P(Sm2ZIds, MatchesIndependentComputation)
{
    EcKey key = newKey(NID_sm2);
    Bytes id = randomBytes(GetParam());
    unsigned char z[32];
    ASSERT_EQ(SM2_Z(key.get(), id.data(), static_cast<int>(id.size()), z), 1);
    EXPECT_EQ(Bytes(z, z + 32), independentZ(key.get(), id));
}

INSTANTIATE_TEST_SUITE_P(IdLengths, Sm2ZIds, ::testing::Values(1, 16, 511, 512));

TEST(Sm2Z, ShortCoordinatesArePaddedToTheField)
{
    // Walk d = 1, 2, ... until a public coordinate has a leading zero byte.
    EcKey base = newKey(NID_sm2);
    const EC_GROUP *g = EC_KEY_get0_group(base.get());
    Bn d(BN_new()), x(BN_new()), y(BN_new());
    EcKey key;
    for (unsigned long i = 1; i < 20000; i++) {
        BN_set_word(d.get(), i);
        key = keyFromPrivate(g, d.get());
        EC_POINT_get_affine_coordinates(g, EC_KEY_get0_public_key(key.get()), x.get(), y.get(),
                                        nullptr);
        if (BN_num_bytes(x.get()) < 32 || BN_num_bytes(y.get()) < 32)
            break;
    }
    ASSERT_TRUE(BN_num_bytes(x.get()) < 32 || BN_num_bytes(y.get()) < 32);
    Bytes id(kDefaultId, kDefaultId + 16);
    unsigned char z[32];
    ASSERT_EQ(SM2_Z(key.get(), id.data(), 16, z), 1);
    EXPECT_EQ(Bytes(z, z + 32), independentZ(key.get(), id));
}

TEST(Sm2Z, IdLengthLimits)
{
    EcKey key = newKey(NID_sm2);
    Bytes id = randomBytes(600);
    struct { int len; int result; } cases[] = {{0, 0}, {1, 1}, {512, 1}, {513, 0}, {-1, 0}};
    for (auto &c : cases) {
        unsigned char z[32];
        EXPECT_EQ(SM2_Z(key.get(), id.data(), c.len, z), c.result) << "ID length " << c.len;
    }
    unsigned char z[32];
    EXPECT_EQ(SM2_Z(key.get(), nullptr, 16, z), 0);
    EXPECT_EQ(SM2_Z(key.get(), id.data(), 16, nullptr), 0);

    // A number wider than its field is refused rather than written before it.
    Bn big(BN_new()), small(BN_new());
    BN_set_bit(big.get(), 8 * 33);
    BN_set_word(small.get(), 3);
    EXPECT_EQ(CalZforSm2sign(id.data(), 16, big.get(), small.get(), small.get(), small.get(),
                             small.get(), small.get(), 32, z), 0);
    // A field length for which the message would not fit the work area is refused.
    EXPECT_EQ(CalZforSm2sign(id.data(), 512, small.get(), small.get(), small.get(), small.get(),
                             small.get(), small.get(), 86, z), 0);
    EXPECT_EQ(CalZforSm2sign(id.data(), 512, small.get(), small.get(), small.get(), small.get(),
                             small.get(), small.get(), 85, z), 1);

    unsigned char entl[2];
    EXPECT_EQ(SetWordInStr(entl, 0x1234 | 0x70000), 1);
    EXPECT_EQ(mvtest::toHex(entl, 2), "1234");
}
