// The SM2 key operations method: key and parameter generation, SM2 signing and
// verification, raw SM2 encryption, ECDH derivation, the controls and context copies.
#include "meth_support.h"
#include "sm2_test_support.h"
#include "vector_file.h"

#include <gtest/gtest.h>

#include <openssl/ecdh.h>
#include <openssl/objects.h>

#include <cstring>

using namespace mvmeth;

namespace {

using Ctx = Ptr<EVP_PKEY_CTX>;

Ctx ctxFor(EVP_PKEY *pkey)
{
    Ctx ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    if (!ctx)
        throw std::runtime_error("key context");
    return ctx;
}

// A numeric control addressed to SM2 key contexts, as the library's callers send it.
int sm2Ctrl(EVP_PKEY_CTX *ctx, int cmd, int p1, void *p2)
{
    return EVP_PKEY_CTX_ctrl(ctx, NID_sm2, -1, cmd, p1, p2);
}

class Sm2Pmeth : public ::testing::Test {
protected:
    static void SetUpTestSuite() { key = newSm2Pkey().release(); }
    static void TearDownTestSuite() { EVP_PKEY_free(key); }
    static EVP_PKEY *key;
};
EVP_PKEY *Sm2Pmeth::key = nullptr;

TEST_F(Sm2Pmeth, ContextForTheTypeAloneGeneratesSm2Keys)
{
    Ctx ctx(EVP_PKEY_CTX_new_id(NID_sm2, nullptr));
    ASSERT_TRUE(ctx);
    ASSERT_EQ(1, EVP_PKEY_keygen_init(ctx.get()));
    EVP_PKEY *raw = nullptr;
    ASSERT_EQ(1, EVP_PKEY_keygen(ctx.get(), &raw));
    Pkey generated(raw);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(generated.get()));
    EXPECT_EQ(NID_sm2, curveOf(generated.get()));
    const EC_KEY *ec = EVP_PKEY_get0_EC_KEY(generated.get());
    ASSERT_NE(nullptr, ec);
    EXPECT_NE(nullptr, EC_KEY_get0_private_key(ec));
    EXPECT_EQ(1, EC_KEY_check_key(ec));

    // The EC type needs a curve first.
    Ctx ecCtx(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
    raw = nullptr;
    EXPECT_TRUE(EVP_PKEY_keygen_init(ecCtx.get()) <= 0 || EVP_PKEY_keygen(ecCtx.get(), &raw) <= 0);
    EVP_PKEY_free(raw);
    ERR_clear_error();
}

TEST_F(Sm2Pmeth, SignatureSizesAndVerification)
{
    Bytes digest(32);
    for (size_t i = 0; i < digest.size(); i++)
        digest[i] = static_cast<unsigned char>(i * 7 + 1);
    Ctx ctx = ctxFor(key);
    ASSERT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
    size_t len = 0;
    ASSERT_EQ(1, EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()));
    EXPECT_EQ(72u, len);

    Bytes sig(72);
    len = 71;
    EXPECT_EQ(0, EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()));
    EXPECT_EQ(EC_R_BUFFER_TOO_SMALL, lastReason());
    len = sig.size();
    ASSERT_EQ(1, EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()));
    ASSERT_LE(len, 72u);
    sig.resize(len);
    EXPECT_EQ(0x30, sig[0]);
    EXPECT_EQ(len - 2, sig[1]) << "one DER SEQUENCE";

    Ctx vctx = ctxFor(key);
    ASSERT_EQ(1, EVP_PKEY_verify_init(vctx.get()));
    EXPECT_EQ(1, EVP_PKEY_verify(vctx.get(), sig.data(), sig.size(), digest.data(), digest.size()));
    Bytes changed = digest;
    changed[5] ^= 1;
    EXPECT_EQ(0, EVP_PKEY_verify(vctx.get(), sig.data(), sig.size(), changed.data(), changed.size()));
    Bytes garbage(sig.size(), 0x5A);
    EXPECT_EQ(-1, EVP_PKEY_verify(vctx.get(), garbage.data(), garbage.size(), digest.data(), digest.size()));
    ERR_clear_error();
}

struct DigestCase {
    const char *name;
    int accepted;
};

class Sm2PmethDigest : public Sm2Pmeth, public ::testing::WithParamInterface<DigestCase> {};

TEST_P(Sm2PmethDigest, SignatureDigestControl)
{
    const DigestCase &c = GetParam();
    const EVP_MD *md = EVP_get_digestbyname(c.name);
    ASSERT_NE(nullptr, md);
    Ctx ctx = ctxFor(key);
    ASSERT_EQ(1, EVP_PKEY_sign_init(ctx.get()));
    EXPECT_EQ(c.accepted, EVP_PKEY_CTX_set_signature_md(ctx.get(), md));
    const EVP_MD *stored = nullptr;
    EXPECT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_GET_MD, 0, &stored));
    if (c.accepted == 1) {
        EXPECT_EQ(md, stored);
    } else {
        EXPECT_EQ(nullptr, stored);
        EXPECT_EQ(EC_R_INVALID_DIGEST_TYPE, lastReason());
    }
}

INSTANTIATE_TEST_SUITE_P(Sm2Pmeth, Sm2PmethDigest,
                         ::testing::Values(DigestCase{"SM3", 1}, DigestCase{"SHA1", 1},
                                           DigestCase{"SHA224", 1}, DigestCase{"SHA256", 1},
                                           DigestCase{"SHA384", 1}, DigestCase{"SHA512", 1},
                                           DigestCase{"MD5", 0}, DigestCase{"SHA3-256", 0}));

TEST_F(Sm2Pmeth, RawEncryptionSizesAndRoundTrip)
{
    const char *text = "SM2 encryption through the key operations method";
    Bytes m(text, text + std::strlen(text));
    Ctx ctx = ctxFor(key);
    ASSERT_EQ(1, EVP_PKEY_encrypt_init(ctx.get()));
    size_t n = 0;
    ASSERT_EQ(1, EVP_PKEY_encrypt(ctx.get(), nullptr, &n, m.data(), m.size()));
    EXPECT_EQ(m.size() + 97, n);
    Bytes c(n);
    ASSERT_EQ(1, EVP_PKEY_encrypt(ctx.get(), c.data(), &n, m.data(), m.size()));
    ASSERT_EQ(m.size() + 97, n);
    EXPECT_EQ(0x04, c[0]) << "C1 first, uncompressed";

    Ctx dctx = ctxFor(key);
    ASSERT_EQ(1, EVP_PKEY_decrypt_init(dctx.get()));
    size_t pn = 0;
    ASSERT_EQ(1, EVP_PKEY_decrypt(dctx.get(), nullptr, &pn, c.data(), c.size()));
    EXPECT_EQ(m.size(), pn);
    Bytes plain(pn);
    ASSERT_EQ(1, EVP_PKEY_decrypt(dctx.get(), plain.data(), &pn, c.data(), c.size()));
    plain.resize(pn);
    EXPECT_EQ(m, plain);

    c[70] ^= 0x01; // C2 changed: C3 no longer matches
    pn = plain.size();
    EXPECT_NE(1, EVP_PKEY_decrypt(dctx.get(), plain.data(), &pn, c.data(), c.size()));
    pn = 0;
    EXPECT_NE(1, EVP_PKEY_decrypt(dctx.get(), nullptr, &pn, c.data(), 96));
    ERR_clear_error();
}

// The key stream of this cipher text is all zero for its 1-byte message (C2 = M): the
// decrypt slot refuses it, and the encrypt slot never makes such a cipher text.
TEST_F(Sm2Pmeth, AllZeroKeyStreamRefusedByTheDecryptSlot)
{
    auto v = mvtest::readVectorFile(MV_SM2_VECTOR_DIR "/sm2_enc_zero_keystream.txt").at(0);
    Pkey pk = sm2Pkey(mvtest::sm2KeyFromHex(v["d"].c_str()).get());

    Bytes c = mvtest::fromHex(v["c1"] + v["c2"] + v["c3"]);
    Ctx dctx = ctxFor(pk.get());
    ASSERT_EQ(1, EVP_PKEY_decrypt_init(dctx.get()));
    Bytes plain(c.size());
    size_t pn = plain.size();
    EXPECT_NE(1, EVP_PKEY_decrypt(dctx.get(), plain.data(), &pn, c.data(), c.size()));
    ERR_clear_error();

    Ctx ectx = ctxFor(pk.get());
    ASSERT_EQ(1, EVP_PKEY_encrypt_init(ectx.get()));
    const Bytes m = mvtest::fromHex(v["msg"]);
    for (int i = 0; i < 600; i++) {
        size_t n = c.size();
        ASSERT_EQ(1, EVP_PKEY_encrypt(ectx.get(), c.data(), &n, m.data(), m.size()));
        ASSERT_NE(m[0], c[65]) << "encryption " << i << " gave C2 = M";
        pn = plain.size();
        ASSERT_EQ(1, EVP_PKEY_decrypt(dctx.get(), plain.data(), &pn, c.data(), n));
        ASSERT_EQ(m[0], plain[0]);
    }
}

struct StrCase {
    const char *cmd, *value;
    int result;
    int reason; // 0: none looked at
};

class Sm2PmethCtrlStr : public Sm2Pmeth, public ::testing::WithParamInterface<StrCase> {};

// Recognised commands go to EC key contexts only, as in the EC method: on an SM2
// context they change nothing.
TEST_P(Sm2PmethCtrlStr, TextCommands)
{
    const StrCase &c = GetParam();
    Ctx ctx = ctxFor(key);
    ASSERT_EQ(1, EVP_PKEY_paramgen_init(ctx.get()));
    ERR_clear_error();
    EXPECT_EQ(c.result, EVP_PKEY_CTX_ctrl_str(ctx.get(), c.cmd, c.value));
    if (c.reason != 0) {
        EXPECT_EQ(c.reason, lastReason());
    }
    EVP_PKEY *raw = nullptr;
    EXPECT_EQ(0, EVP_PKEY_paramgen(ctx.get(), &raw)) << "no curve stored";
    EVP_PKEY_free(raw);
    ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(
    Sm2Pmeth, Sm2PmethCtrlStr,
    ::testing::Values(StrCase{"ec_paramgen_curve", "SM2", -1, 0},
                      StrCase{"ec_paramgen_curve", "P-256", -1, 0},
                      StrCase{"ec_paramgen_curve", "no-such-curve", 0, EC_R_INVALID_CURVE},
                      StrCase{"ec_param_enc", "named_curve", -1, 0},
                      StrCase{"ec_param_enc", "compressed", -2, 0},
                      StrCase{"ecdh_kdf_md", "SHA256", -1, 0},
                      StrCase{"ecdh_kdf_md", "no-such-digest", 0, EC_R_INVALID_DIGEST},
                      StrCase{"ecdh_cofactor_mode", "1", -1, 0},
                      StrCase{"sm2_unknown_command", "1", -2, 0}));

TEST_F(Sm2Pmeth, ParameterGenerationNeedsAStoredCurve)
{
    Ctx ctx(EVP_PKEY_CTX_new_id(NID_sm2, nullptr));
    ASSERT_EQ(1, EVP_PKEY_paramgen_init(ctx.get()));
    EVP_PKEY *raw = nullptr;
    EXPECT_EQ(0, EVP_PKEY_paramgen(ctx.get(), &raw));
    EXPECT_EQ(EC_R_NO_PARAMETERS_SET, lastReason());
    EVP_PKEY_free(raw);
    raw = nullptr;

    EXPECT_EQ(0, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, NID_undef, nullptr));
    EXPECT_EQ(EC_R_INVALID_CURVE, lastReason());
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, NID_sm2, nullptr));
    ASSERT_EQ(1, EVP_PKEY_paramgen(ctx.get(), &raw));
    Pkey params(raw);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(params.get()));
    EXPECT_EQ(NID_sm2, curveOf(params.get()));
    const EC_KEY *ec = EVP_PKEY_get0_EC_KEY(params.get());
    EXPECT_EQ(nullptr, EC_KEY_get0_private_key(ec));
    EXPECT_EQ(nullptr, EC_KEY_get0_public_key(ec));
}

Bytes derive(EVP_PKEY *own, EVP_PKEY *peer, int kdf = EVP_PKEY_ECDH_KDF_NONE)
{
    Ctx ctx = ctxFor(own);
    if (EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1)
        return {};
    if (kdf == EVP_PKEY_ECDH_KDF_X9_63) {
        static unsigned char ukmText[] = "shared info";
        unsigned char *ukm = static_cast<unsigned char *>(OPENSSL_memdup(ukmText, 11));
        if (sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_TYPE, kdf, nullptr) != 1
            || sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_MD, 0, const_cast<EVP_MD *>(EVP_sha256())) != 1
            || sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_OUTLEN, 40, nullptr) != 1
            || sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_UKM, 11, ukm) != 1)
            return {};
    }
    size_t n = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &n) != 1)
        return {};
    Bytes out(n);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &n) != 1)
        return {};
    out.resize(n);
    return out;
}

TEST_F(Sm2Pmeth, EcdhBetweenTwoSm2Keys)
{
    Pkey other = newSm2Pkey();
    Bytes ab = derive(key, other.get());
    Bytes ba = derive(other.get(), key);
    ASSERT_EQ(32u, ab.size());
    EXPECT_EQ(ab, ba);

    // The x-coordinate of dA * PB.
    const EC_KEY *a = EVP_PKEY_get0_EC_KEY(key), *b = EVP_PKEY_get0_EC_KEY(other.get());
    const EC_GROUP *g = EC_KEY_get0_group(a);
    EC_POINT *shared = EC_POINT_new(g);
    BIGNUM *x = BN_new();
    ASSERT_EQ(1, EC_POINT_mul(g, shared, nullptr, EC_KEY_get0_public_key(b), EC_KEY_get0_private_key(a), nullptr));
    ASSERT_EQ(1, EC_POINT_get_affine_coordinates(g, shared, x, nullptr, nullptr));
    Bytes expect(32);
    BN_bn2binpad(x, expect.data(), 32);
    EXPECT_EQ(expect, ab);

    Bytes kab = derive(key, other.get(), EVP_PKEY_ECDH_KDF_X9_63);
    Bytes kba = derive(other.get(), key, EVP_PKEY_ECDH_KDF_X9_63);
    ASSERT_EQ(40u, kab.size());
    EXPECT_EQ(kab, kba);
    Bytes kexpect(40);
    ASSERT_EQ(1, ECDH_KDF_X9_62(kexpect.data(), 40, expect.data(), 32,
                                reinterpret_cast<const unsigned char *>("shared info"), 11, EVP_sha256()));
    EXPECT_EQ(kexpect, kab);
    BN_free(x);
    EC_POINT_free(shared);

    // A peer of another key type is refused by the library.
    Pkey ec(EVP_PKEY_new());
    EC_KEY *p256 = newEcKey(NID_X9_62_prime256v1).release();
    ASSERT_EQ(1, EVP_PKEY_assign_EC_KEY(ec.get(), p256));
    EXPECT_TRUE(derive(key, ec.get()).empty());
    ERR_clear_error();
}

TEST_F(Sm2Pmeth, CopyKeepsSettingsAndResetsTheCofactorMode)
{
    Ctx ctx = ctxFor(key);
    ASSERT_EQ(1, EVP_PKEY_derive_init(ctx.get()));
    unsigned char *ukm = static_cast<unsigned char *>(OPENSSL_memdup("ukm!", 4));
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_MD, 0, const_cast<EVP_MD *>(EVP_sm3())));
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, NID_sm2, nullptr));
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_TYPE, EVP_PKEY_ECDH_KDF_X9_63, nullptr));
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_MD, 0, const_cast<EVP_MD *>(EVP_sha256())));
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_OUTLEN, 48, nullptr));
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_UKM, 4, ukm));
    ASSERT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_ECDH_COFACTOR, 1, nullptr));
    EXPECT_EQ(1, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_ECDH_COFACTOR, -2, nullptr));
    EXPECT_EQ(-2, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_TYPE, 3, nullptr));
    EXPECT_EQ(-2, sm2Ctrl(ctx.get(), EVP_PKEY_CTRL_EC_KDF_OUTLEN, 0, nullptr));
    EXPECT_EQ(-2, sm2Ctrl(ctx.get(), 0x1234, 0, nullptr));

    Ctx copy(EVP_PKEY_CTX_dup(ctx.get()));
    ASSERT_TRUE(copy);
    const EVP_MD *md = nullptr;
    EXPECT_EQ(1, sm2Ctrl(copy.get(), EVP_PKEY_CTRL_GET_MD, 0, &md));
    EXPECT_EQ(EVP_sm3(), md);
    EXPECT_EQ(EVP_PKEY_ECDH_KDF_X9_63, sm2Ctrl(copy.get(), EVP_PKEY_CTRL_EC_KDF_TYPE, -2, nullptr));
    md = nullptr;
    EXPECT_EQ(1, sm2Ctrl(copy.get(), EVP_PKEY_CTRL_GET_EC_KDF_MD, 0, &md));
    EXPECT_EQ(EVP_sha256(), md);
    int outlen = 0;
    EXPECT_EQ(1, sm2Ctrl(copy.get(), EVP_PKEY_CTRL_GET_EC_KDF_OUTLEN, 0, &outlen));
    EXPECT_EQ(48, outlen);
    unsigned char *copiedUkm = nullptr;
    EXPECT_EQ(4, sm2Ctrl(copy.get(), EVP_PKEY_CTRL_GET_EC_KDF_UKM, 0, &copiedUkm));
    ASSERT_NE(nullptr, copiedUkm);
    EXPECT_NE(ukm, copiedUkm);
    EXPECT_EQ(0, std::memcmp("ukm!", copiedUkm, 4));
    // The SM2 curve has cofactor 1: the key's own flag (clear) answers for the copy.
    EXPECT_EQ(0, sm2Ctrl(copy.get(), EVP_PKEY_CTRL_EC_ECDH_COFACTOR, -2, nullptr));
    ERR_clear_error();
}

// EVP_DigestSign with a signer ID set on the context digests Z first, as the library's
// own SM2 does; without an ID the message digest alone is signed.
TEST_F(Sm2Pmeth, DigestSigningWithASignerId)
{
    const unsigned char msg[] = "message digest";
    auto run = [&](bool sign, const char *id, Bytes &sig) {
        Ptr<EVP_MD_CTX> mctx(EVP_MD_CTX_new());
        EVP_PKEY_CTX *pctx = nullptr;
        int rc = sign ? EVP_DigestSignInit(mctx.get(), &pctx, EVP_sm3(), nullptr, key)
                      : EVP_DigestVerifyInit(mctx.get(), &pctx, EVP_sm3(), nullptr, key);
        if (rc != 1)
            return -9;
        if (id != nullptr && EVP_PKEY_CTX_set1_id(pctx, id, std::strlen(id)) != 1)
            return -8;
        if (!sign)
            return EVP_DigestVerify(mctx.get(), sig.data(), sig.size(), msg, sizeof(msg) - 1);
        size_t n = 72;
        sig.assign(n, 0);
        rc = EVP_DigestSign(mctx.get(), sig.data(), &n, msg, sizeof(msg) - 1);
        sig.resize(n);
        return rc;
    };
    Bytes sig;
    ASSERT_EQ(1, run(true, "1234567812345678", sig));
    EXPECT_EQ(1, run(false, "1234567812345678", sig));
    EXPECT_EQ(0, run(false, "ALICE123@YAHOO.COM", sig));
    EXPECT_EQ(0, run(false, nullptr, sig));
    ASSERT_EQ(1, run(true, nullptr, sig));
    EXPECT_EQ(1, run(false, nullptr, sig));
    ERR_clear_error();
}

} // namespace
