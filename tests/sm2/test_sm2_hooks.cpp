// The changed library functions, against the openssl command as an outside peer:
// certificate keys and verification, item signing with Z, PKCS#8 and traditional keys,
// key comparison and the EC/SM2 key accessors. Ordinary RSA and EC certificates must
// keep decoding and verifying as before.
#include "meth_support.h"
#include "sm2.h"

#include <gtest/gtest.h>

#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <thread>

using namespace mvmeth;

namespace {

const char *const kDistId = "1234567812345678";

Cert readCertDer(const std::string &path)
{
    Ptr<BIO> b(BIO_new_file(path.c_str(), "rb"));
    return Cert(b ? d2i_X509_bio(b.get(), nullptr) : nullptr);
}

void writeCertPem(X509 *x, const std::string &path)
{
    Ptr<BIO> b(BIO_new_file(path.c_str(), "w"));
    ASSERT_TRUE(b && PEM_write_bio_X509(b.get(), x));
}

Bytes digestOf(const EVP_MD *md, const Bytes &data)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

// Z of GM/T 0003.2 for the default signer ID, computed here with the library's SM3.
Bytes zOf(const EC_KEY *key)
{
    const EC_GROUP *g = EC_KEY_get0_group(key);
    BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *x = BN_new(), *y = BN_new();
    Bytes msg = {0x00, 0x80};
    msg.insert(msg.end(), kDistId, kDistId + 16);
    auto put = [&msg](const BIGNUM *n) {
        Bytes f(32);
        BN_bn2binpad(n, f.data(), 32);
        msg.insert(msg.end(), f.begin(), f.end());
    };
    EC_GROUP_get_curve(g, p, a, b, nullptr);
    put(a);
    put(b);
    EC_POINT_get_affine_coordinates(g, EC_GROUP_get0_generator(g), x, y, nullptr);
    put(x);
    put(y);
    EC_POINT_get_affine_coordinates(g, EC_KEY_get0_public_key(key), x, y, nullptr);
    put(x);
    put(y);
    for (BIGNUM *n : {p, a, b, x, y})
        BN_free(n);
    return digestOf(EVP_sm3(), msg);
}

Bytes tbsOf(X509 *x)
{
    return der(x, [](const X509 *c, unsigned char **p) { return i2d_re_X509_tbs(const_cast<X509 *>(c), p); });
}

Bytes signatureOf(const X509 *x)
{
    const ASN1_BIT_STRING *sig = nullptr;
    X509_get0_signature(&sig, nullptr, x);
    return Bytes(sig->data, sig->data + sig->length);
}

Pkey readPkcs8(const std::string &path)
{
    Bytes d = readFile(path);
    Ptr<PKCS8_PRIV_KEY_INFO> p8 = p8Parse(d);
    return Pkey(p8 ? EVP_PKCS82PKEY(p8.get()) : nullptr);
}

class Sm2Hooks : public ::testing::Test {
protected:
    // One SM2 and one prime256v1 key pair, with self-signed certificates, made by openssl.
    static void SetUpTestSuite()
    {
        dir = new TempDir();
        const char *steps[] = {
            "genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out sm2.pem",
            "pkcs8 -topk8 -nocrypt -in sm2.pem -outform DER -out sm2.p8",
            "pkcs8 -topk8 -passout pass:mirvale -in sm2.pem -outform DER -out sm2.enc.p8",
            "pkey -in sm2.pem -outform DER -out sm2.trad",
            "req -x509 -new -key sm2.pem -subj /CN=peer-sm2 -sm3 -sigopt distid:1234567812345678 -days 2 -outform DER -out sm2.der",
            "genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out p256.pem",
            "pkcs8 -topk8 -nocrypt -in p256.pem -outform DER -out p256.p8",
            "req -x509 -new -key p256.pem -subj /CN=peer-p256 -sha256 -days 2 -outform DER -out p256.der",
            // An SM2 CA and a leaf certificate that it signed.
            "genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out ca.key",
            "req -x509 -new -key ca.key -subj /CN=ca-sm2 -sm3 -sigopt distid:1234567812345678 -days 2 "
            "-addext basicConstraints=critical,CA:TRUE -out ca.pem",
            "genpkey -algorithm EC -pkeyopt ec_paramgen_curve:SM2 -out leaf.key",
            "req -new -key leaf.key -subj /CN=leaf-sm2 -sm3 -sigopt distid:1234567812345678 -out leaf.csr",
            "x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 2 -sm3 -sigopt distid:1234567812345678 "
            "-vfyopt distid:1234567812345678 -days 2 -outform DER -out leaf.der",
        };
        for (const char *step : steps) {
            std::string out;
            ASSERT_EQ(0, openssl(*dir, step, &out)) << step << ": " << out;
        }
    }
    static void TearDownTestSuite()
    {
        delete dir;
        dir = nullptr;
    }
    static TempDir *dir;
};
TempDir *Sm2Hooks::dir = nullptr;

TEST_F(Sm2Hooks, OpensslCertificateOnTheSm2CurveGivesAnSm2KeyThatVerifiesIt)
{
    Cert x = readCertDer(dir->file("sm2.der"));
    ASSERT_TRUE(x);
    Pkey key(X509_get_pubkey(x.get()));
    ASSERT_TRUE(key);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(key.get()));
    EXPECT_EQ(NID_sm2, curveOf(key.get()));
    EXPECT_EQ(1, X509_verify(x.get(), key.get()));
    EXPECT_EQ(1, X509_verify(x.get(), X509_get0_pubkey(x.get())));

    // The same certificate with one signature bit changed.
    Bytes d = readFile(dir->file("sm2.der"));
    d[d.size() - 3] ^= 0x01;
    const unsigned char *p = d.data();
    Cert bad(d2i_X509(nullptr, &p, static_cast<long>(d.size())));
    ASSERT_TRUE(bad);
    EXPECT_EQ(0, X509_verify(bad.get(), key.get()));
    ERR_clear_error();

    // The library's chain check reaches the changed verification too.
    Ptr<X509_STORE> store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), x.get());
    X509_STORE_CTX *ctx = X509_STORE_CTX_new();
    ASSERT_EQ(1, X509_STORE_CTX_init(ctx, store.get(), x.get(), nullptr));
    EXPECT_EQ(1, X509_verify_cert(ctx)) << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
    X509_STORE_CTX_free(ctx);
}

TEST_F(Sm2Hooks, Prime256v1CertificateKeepsItsEcKey)
{
    Cert x = readCertDer(dir->file("p256.der"));
    ASSERT_TRUE(x);
    Pkey key(X509_get_pubkey(x.get()));
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_EC, EVP_PKEY_get_id(key.get()));
    EXPECT_EQ(NID_X9_62_prime256v1, curveOf(key.get()));
    EXPECT_EQ(1, X509_verify(x.get(), key.get()));
}

TEST_F(Sm2Hooks, RsaCertificateDecodesAndVerifiesAsBefore)
{
    TempDir rsa;
    std::string out;
    ASSERT_EQ(0, openssl(rsa, "req -x509 -newkey rsa:2048 -nodes -keyout k.pem -subj /CN=rsa -days 2 -outform DER -out c.der", &out)) << out;
    Cert x = readCertDer(rsa.file("c.der"));
    ASSERT_TRUE(x);
    Pkey key(X509_get_pubkey(x.get()));
    ASSERT_TRUE(key);
    EXPECT_EQ(EVP_PKEY_RSA, EVP_PKEY_get_id(key.get()));
    EXPECT_EQ(1, X509_verify(x.get(), key.get()));
    EXPECT_EQ(nullptr, EVP_PKEY_get1_EC_KEY(key.get()));
    EXPECT_EQ(EVP_R_EXPECTING_A_EC_KEY, lastReason());
    EXPECT_EQ(nullptr, EVP_PKEY_get1_EC_SM2_KEY(key.get()));
    EXPECT_EQ(EVP_R_EXPECTING_A_EC_KEY, lastReason());
}

// openssl checks the issuer's signature on a certificate below a trust anchor with the
// given signer ID (not that of the self-signed anchor itself).
// The forms of a signature SEQUENCE {r, s}: its DER, and forms that a lenient decoder
// reads as the same pair.
enum class SigForm { Der, LongSequenceLength, LongIntegerLength, TrailingByte, LeadingZero, IndefiniteLength };

// The DER signature der (short-form lengths, as every SM2 signature has) in the given form.
Bytes inForm(const Bytes &der, SigForm form)
{
    const size_t rlen = der.at(3), slen = der.at(5 + rlen);
    const Bytes r(der.begin() + 4, der.begin() + 4 + rlen);
    const Bytes s(der.begin() + 6 + rlen, der.begin() + 6 + rlen + slen);
    auto integer = [](Bytes value, bool leadingZero, bool longLength) {
        if (leadingZero)
            value.insert(value.begin(), 0x00);
        Bytes out = {0x02};
        if (longLength)
            out.push_back(0x81);
        out.push_back(static_cast<unsigned char>(value.size()));
        out.insert(out.end(), value.begin(), value.end());
        return out;
    };
    Bytes body = integer(r, form == SigForm::LeadingZero, form == SigForm::LongIntegerLength);
    Bytes second = integer(s, false, false);
    body.insert(body.end(), second.begin(), second.end());
    Bytes out = {0x30};
    if (form == SigForm::IndefiniteLength) {
        out.push_back(0x80);
        body.insert(body.end(), {0x00, 0x00});
    } else {
        if (form == SigForm::LongSequenceLength)
            out.push_back(0x81);
        out.push_back(static_cast<unsigned char>(body.size()));
    }
    out.insert(out.end(), body.begin(), body.end());
    if (form == SigForm::TrailingByte)
        out.push_back(0x00);
    return out;
}

// A copy of x whose signature bit string holds sig, read back from its DER.
Cert withSignature(const X509 *x, const Bytes &sig)
{
    Bytes d = der(x, i2d_X509);
    const unsigned char *p = d.data();
    Cert copy(d2i_X509(nullptr, &p, static_cast<long>(d.size())));
    const ASN1_BIT_STRING *bits = nullptr;
    X509_get0_signature(&bits, nullptr, copy.get());
    if (!copy || ASN1_BIT_STRING_set(const_cast<ASN1_BIT_STRING *>(bits), const_cast<unsigned char *>(sig.data()),
                                     static_cast<int>(sig.size())) != 1)
        return Cert();
    d = der(copy.get(), i2d_X509);
    p = d.data();
    return Cert(d2i_X509(nullptr, &p, static_cast<long>(d.size())));
}

struct SigFormCase {
    const char *name;
    SigForm form;
    int result; // of SM2_verify and the key method's verification
};

class Sm2HooksSigForm : public Sm2Hooks, public ::testing::WithParamInterface<SigFormCase> {};

// One signature that openssl made (a CA's over its leaf certificate) in each form, through
// every verification that reaches the SM2 signature check; openssl verify, which accepts
// the DER form only, beside them.
TEST_P(Sm2HooksSigForm, OnlyTheDerEncodingVerifies)
{
    const SigFormCase &c = GetParam();
    Cert leaf = readCertDer(dir->file("leaf.der"));
    Cert ca = readCertPem(dir->file("ca.pem"));
    ASSERT_TRUE(leaf && ca);
    EVP_PKEY *caKey = X509_get0_pubkey(ca.get());
    ASSERT_NE(nullptr, caKey);
    const Bytes original = signatureOf(leaf.get());
    ASSERT_EQ(original, inForm(original, SigForm::Der));
    const Bytes sig = inForm(original, c.form);

    // The signature of SM3(Z || to-be-signed part) alone, and through the key method.
    Bytes tbs = tbsOf(leaf.get());
    Bytes zm = zOf(EVP_PKEY_get0_EC_KEY(caKey));
    zm.insert(zm.end(), tbs.begin(), tbs.end());
    Bytes e = digestOf(EVP_sm3(), zm);
    ERR_clear_error();
    EXPECT_EQ(c.result, SM2_verify(0, e.data(), e.size(), sig.data(), sig.size(), EVP_PKEY_get0_EC_KEY(caKey)));
    EXPECT_EQ(0u, ERR_peek_error());
    Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new(caKey, nullptr));
    ASSERT_EQ(1, EVP_PKEY_verify_init(pctx.get()));
    EXPECT_EQ(c.result, EVP_PKEY_verify(pctx.get(), sig.data(), sig.size(), e.data(), e.size()));
    EXPECT_EQ(0u, ERR_peek_error());
    Ptr<EVP_MD_CTX> mctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX *dctx = nullptr;
    ASSERT_EQ(1, EVP_DigestVerifyInit(mctx.get(), &dctx, EVP_sm3(), nullptr, caKey));
    ASSERT_EQ(1, EVP_PKEY_CTX_set1_id(dctx, kDistId, 16));
    EXPECT_EQ(c.result, EVP_DigestVerify(mctx.get(), sig.data(), sig.size(), tbs.data(), tbs.size()));
    EXPECT_EQ(0u, ERR_peek_error());

    // The leaf certificate carrying the signature in this form: another fingerprint.
    Cert changed = withSignature(leaf.get(), sig);
    ASSERT_TRUE(changed);
    EXPECT_EQ(c.form == SigForm::Der, X509_cmp(leaf.get(), changed.get()) == 0);
    const int valid = c.result == 1 ? 1 : 0;
    EXPECT_EQ(valid, X509_verify(changed.get(), caKey));
    Ptr<X509_STORE> store(X509_STORE_new());
    Ptr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
    ASSERT_TRUE(store && ctx && X509_STORE_add_cert(store.get(), ca.get()));
    ASSERT_EQ(1, X509_STORE_CTX_init(ctx.get(), store.get(), changed.get(), nullptr));
    EXPECT_EQ(valid, X509_verify_cert(ctx.get()));
    EXPECT_EQ(valid ? X509_V_OK : X509_V_ERR_CERT_SIGNATURE_FAILURE, X509_STORE_CTX_get_error(ctx.get()));
    ERR_clear_error();

    TempDir own;
    writeCertPem(changed.get(), own.file("leaf.pem"));
    std::string out;
    int rc = openssl(own, "verify -vfyopt distid:1234567812345678 -CAfile '" + dir->file("ca.pem") + "' leaf.pem", &out);
    EXPECT_EQ(valid == 1, rc == 0) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Sm2HooksSigForm,
    ::testing::Values(SigFormCase{"Der", SigForm::Der, 1},
                      SigFormCase{"LongSequenceLength", SigForm::LongSequenceLength, 0},
                      SigFormCase{"LongIntegerLength", SigForm::LongIntegerLength, 0},
                      SigFormCase{"TrailingByte", SigForm::TrailingByte, 0},
                      // Not read by the decoder at all: an error.
                      SigFormCase{"LeadingZero", SigForm::LeadingZero, -1},
                      SigFormCase{"IndefiniteLength", SigForm::IndefiniteLength, -1}),
    [](const ::testing::TestParamInfo<SigFormCase> &i) { return std::string(i.param.name); });

// An SM2 CA (self-signed, default ID) and a leaf certificate that it is to sign.
struct CaAndLeaf {
    Pkey caKey = newSm2Pkey();
    Pkey leafKey = newSm2Pkey();
    Cert ca, leaf;

    CaAndLeaf()
    {
        ca = selfSigned(caKey.get(), EVP_sm3(), false);
        leaf = selfSigned(leafKey.get(), EVP_sm3(), false);
        X509_EXTENSION *basic = X509V3_EXT_conf_nid(nullptr, nullptr, NID_basic_constraints, "critical,CA:TRUE");
        if (!ca || !leaf || basic == nullptr)
            throw std::runtime_error("certificates");
        X509_add_ext(ca.get(), basic, -1);
        X509_EXTENSION_free(basic);
        if (X509_sign(ca.get(), caKey.get(), EVP_sm3()) <= 0)
            throw std::runtime_error("CA signature");
        X509_NAME *subject = X509_get_subject_name(leaf.get());
        X509_NAME_ENTRY_free(X509_NAME_delete_entry(subject, 0));
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("leaf"), -1, -1, 0);
        X509_set_issuer_name(leaf.get(), X509_get_subject_name(ca.get()));
    }
};

TEST_F(Sm2Hooks, CertificateSignedWithSm3VerifiesWithOpenssl)
{
    CaAndLeaf certs;
    Pkey &caKey = certs.caKey, &leafKey = certs.leafKey;
    Cert &ca = certs.ca, &leaf = certs.leaf;
    ASSERT_GT(X509_sign(leaf.get(), caKey.get(), EVP_sm3()), 0);
    EXPECT_EQ(NID_SM2_with_SM3, X509_get_signature_nid(leaf.get()));
    EXPECT_EQ(1, X509_verify(leaf.get(), caKey.get()));
    EXPECT_EQ(0, X509_verify(leaf.get(), leafKey.get()));
    ERR_clear_error();

    TempDir own;
    writeCertPem(ca.get(), own.file("ca.pem"));
    writeCertPem(leaf.get(), own.file("leaf.pem"));
    std::string out;
    EXPECT_EQ(0, openssl(own, "verify -vfyopt distid:1234567812345678 -CAfile ca.pem leaf.pem", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("leaf.pem: OK")) << out;
    // Z was computed for the default ID: another ID does not verify.
    EXPECT_NE(0, openssl(own, "verify -vfyopt distid:ALICE123@YAHOO.COM -CAfile ca.pem leaf.pem", &out));
}

// Signs x through a signing context of key with a signer ID on its key context, set
// after EVP_DigestSignInit (as openssl's -sigopt distid: does) or, on a key context
// prepared for signing, before it; or with no ID.
int signWithContext(X509 *x, EVP_PKEY *key, const char *id, bool idBeforeInit)
{
    Ptr<EVP_MD_CTX> mctx(EVP_MD_CTX_new());
    if (!mctx)
        return 0;
    const size_t idLen = id != nullptr ? std::strlen(id) : 0;
    if (id != nullptr && idBeforeInit) {
        Ptr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new(key, nullptr));
        if (!pctx || EVP_PKEY_sign_init(pctx.get()) != 1
            || EVP_PKEY_CTX_set1_id(pctx.get(), id, idLen) != 1)
            return 0;
        EVP_MD_CTX_set_pkey_ctx(mctx.get(), pctx.get());
        int ok = EVP_DigestSignInit(mctx.get(), nullptr, EVP_sm3(), nullptr, key) == 1
                 && X509_sign_ctx(x, mctx.get()) > 0;
        EVP_MD_CTX_set_pkey_ctx(mctx.get(), nullptr); // the digest context does not own it
        return ok;
    }
    EVP_PKEY_CTX *pctx = nullptr;
    if (EVP_DigestSignInit(mctx.get(), &pctx, EVP_sm3(), nullptr, key) != 1)
        return 0;
    if (id != nullptr && EVP_PKEY_CTX_set1_id(pctx, id, idLen) != 1)
        return 0;
    return X509_sign_ctx(x, mctx.get()) > 0;
}

struct CtxIdCase {
    const char *name;
    const char *signId;   // set on the key context, or none
    bool idBeforeInit;
    const char *verifyId; // given to openssl verify
    bool accepted;
};

class Sm2HooksCtxId : public Sm2Hooks, public ::testing::WithParamInterface<CtxIdCase> {};

// Z goes into the signature once: of the context's ID, or of the default ID without one.
TEST_P(Sm2HooksCtxId, CertificateSignedThroughAContextVerifiesWithOpenssl)
{
    const CtxIdCase &c = GetParam();
    CaAndLeaf certs;
    ASSERT_EQ(1, signWithContext(certs.leaf.get(), certs.caKey.get(), c.signId, c.idBeforeInit));
    EXPECT_EQ(NID_SM2_with_SM3, X509_get_signature_nid(certs.leaf.get()));

    TempDir own;
    writeCertPem(certs.ca.get(), own.file("ca.pem"));
    writeCertPem(certs.leaf.get(), own.file("leaf.pem"));
    std::string out;
    int rc = openssl(own, std::string("verify -vfyopt distid:") + c.verifyId + " -CAfile ca.pem leaf.pem", &out);
    EXPECT_EQ(c.accepted, rc == 0) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Ids, Sm2HooksCtxId,
    ::testing::Values(CtxIdCase{"CustomId", "ALICE123@YAHOO.COM", false, "ALICE123@YAHOO.COM", true},
                      CtxIdCase{"CustomIdNotDefault", "ALICE123@YAHOO.COM", false, "1234567812345678", false},
                      CtxIdCase{"CustomIdBeforeInit", "ALICE123@YAHOO.COM", true, "ALICE123@YAHOO.COM", true},
                      CtxIdCase{"CustomIdBeforeInitNotDefault", "ALICE123@YAHOO.COM", true, "1234567812345678", false},
                      CtxIdCase{"NoId", nullptr, false, "1234567812345678", true},
                      CtxIdCase{"NoIdNotCustom", nullptr, false, "ALICE123@YAHOO.COM", false},
                      CtxIdCase{"DefaultIdGiven", "1234567812345678", false, "1234567812345678", true}),
    [](const ::testing::TestParamInfo<CtxIdCase> &i) { return std::string(i.param.name); });

TEST_F(Sm2Hooks, Sha256SignsZAndTheTbsDer)
{
    Pkey key = newSm2Pkey();
    Cert x = selfSigned(key.get(), EVP_sha256());
    ASSERT_TRUE(x);
    EXPECT_STREQ("SM2-SHA256", OBJ_nid2sn(X509_get_signature_nid(x.get())));
    const X509_ALGOR *alg = nullptr;
    X509_get0_signature(nullptr, &alg, x.get());
    int ptype = -1;
    X509_ALGOR_get0(nullptr, &ptype, nullptr, alg);
    EXPECT_EQ(V_ASN1_UNDEF, ptype) << "no parameter";
    EXPECT_EQ(1, X509_verify(x.get(), key.get()));

    // The signature is over SHA-256(Z || DER of the to-be-signed part): check it with
    // openssl on the digest alone.
    Bytes tbs = tbsOf(x.get());
    Bytes zm = zOf(EVP_PKEY_get0_EC_KEY(key.get()));
    zm.insert(zm.end(), tbs.begin(), tbs.end());
    TempDir own;
    writeFile(own.file("dgst.bin"), digestOf(EVP_sha256(), zm));
    writeFile(own.file("sig.bin"), signatureOf(x.get()));
    writeFile(own.file("pub.der"), spkiOf(key.get()));
    std::string out;
    EXPECT_EQ(0, openssl(own, "pkeyutl -verify -pubin -keyform DER -inkey pub.der -in dgst.bin -sigfile sig.bin", &out)) << out;

    // ASN1_item_verify on any item, with the item signed the same way.
    X509_NAME *name = X509_get_subject_name(x.get());
    Ptr<X509_ALGOR> a1(X509_ALGOR_new());
    ASN1_BIT_STRING *sig = ASN1_BIT_STRING_new();
    ASSERT_GT(ASN1_item_sign(ASN1_ITEM_rptr(X509_NAME), a1.get(), nullptr, sig, name, key.get(), EVP_sha256()), 0);
    EXPECT_EQ(1, ASN1_item_verify(ASN1_ITEM_rptr(X509_NAME), a1.get(), sig, name, key.get()));
    sig->data[10] ^= 0x40;
    EXPECT_EQ(0, ASN1_item_verify(ASN1_ITEM_rptr(X509_NAME), a1.get(), sig, name, key.get()));
    ASN1_BIT_STRING_free(sig);
    ERR_clear_error();
}

// EVP_DigestSign with a signer ID set on the key context gives a standard SM2 signature of
// the message, as openssl checks it.
TEST_F(Sm2Hooks, DigestSignatureWithSignerIdVerifiesWithOpenssl)
{
    Pkey key = newSm2Pkey();
    const char *text = "message for the outside peer";
    Bytes msg(text, text + std::strlen(text));
    Ptr<EVP_MD_CTX> mctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX *pctx = nullptr;
    ASSERT_EQ(1, EVP_DigestSignInit(mctx.get(), &pctx, EVP_sm3(), nullptr, key.get()));
    ASSERT_EQ(1, EVP_PKEY_CTX_set1_id(pctx, kDistId, 16));
    Bytes sig(72);
    size_t n = sig.size();
    ASSERT_EQ(1, EVP_DigestSign(mctx.get(), sig.data(), &n, msg.data(), msg.size()));
    sig.resize(n);
    TempDir own;
    writeFile(own.file("msg.bin"), msg);
    writeFile(own.file("sig.bin"), sig);
    writeFile(own.file("pub.der"), spkiOf(key.get()));
    std::string out;
    EXPECT_EQ(0, openssl(own, "pkeyutl -verify -pubin -keyform DER -inkey pub.der -rawin -digest sm3 "
                              "-pkeyopt distid:1234567812345678 -in msg.bin -sigfile sig.bin", &out)) << out;
    EXPECT_NE(0, openssl(own, "pkeyutl -verify -pubin -keyform DER -inkey pub.der -rawin -digest sm3 "
                              "-pkeyopt distid:ALICE123@YAHOO.COM -in msg.bin -sigfile sig.bin", &out));
}

TEST_F(Sm2Hooks, Sha384HasNoSm2SignatureAlgorithm)
{
    Pkey key = newSm2Pkey();
    Cert x = selfSigned(key.get(), nullptr, false);
    ERR_clear_error();
    EXPECT_EQ(0, X509_sign(x.get(), key.get(), EVP_sha384()));
    int lib = 0;
    bool found = false;
    unsigned long e;
    while ((e = ERR_get_error()) != 0)
        found = found || (ERR_GET_LIB(e) == ERR_LIB_ASN1
                          && ERR_GET_REASON(e) == ASN1_R_DIGEST_AND_KEY_TYPE_NOT_SUPPORTED);
    (void)lib;
    EXPECT_TRUE(found);
}

TEST_F(Sm2Hooks, SigningFailsWhenZCannotBeComputed)
{
    // A private value without its public point: no Z, so no signature anyone could check.
    EcKey full(SM2_KEY_get(1));
    EcKey bare(SM2_KEY_get(0));
    ASSERT_EQ(1, EC_KEY_set_private_key(bare.get(), EC_KEY_get0_private_key(full.get())));
    Pkey signer = sm2Pkey(bare.get());
    Pkey subject = sm2Pkey(full.get());
    Cert x = selfSigned(subject.get(), nullptr, false);
    ERR_clear_error();
    EXPECT_EQ(0, X509_sign(x.get(), signer.get(), EVP_sm3()));
    EXPECT_EQ(ERR_R_EVP_LIB, lastReason());
    EXPECT_GT(X509_sign(x.get(), subject.get(), EVP_sm3()), 0);
}

TEST_F(Sm2Hooks, EcdsaSignatureIsRefusedForAnSm2Key)
{
    // A certificate on the SM2 curve claiming ecdsa-with-SHA256: wrong key type.
    Cert x = readCertDer(dir->file("sm2.der"));
    Pkey key(X509_get_pubkey(x.get()));
    Cert ec = readCertDer(dir->file("p256.der"));
    const X509_ALGOR *alg = nullptr;
    const ASN1_BIT_STRING *sig = nullptr;
    X509_get0_signature(&sig, &alg, ec.get());
    ERR_clear_error();
    EXPECT_EQ(-1, ASN1_item_verify(ASN1_ITEM_rptr(X509_NAME), alg, sig, X509_get_subject_name(x.get()), key.get()));
    EXPECT_EQ(ASN1_R_WRONG_PUBLIC_KEY_TYPE, lastReason());
}

TEST_F(Sm2Hooks, Pkcs8WrittenByTheMethodIsReadByOpenssl)
{
    Pkey key = newSm2Pkey();
    Ptr<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(key.get()));
    ASSERT_TRUE(p8);
    TempDir own;
    writeFile(own.file("k.p8"), der(p8.get(), i2d_PKCS8_PRIV_KEY_INFO));
    std::string out;
    ASSERT_EQ(0, openssl(own, "pkey -inform DER -in k.p8 -pubout -outform DER -out pub.der", &out)) << out;
    EXPECT_EQ(spkiOf(key.get()), readFile(own.file("pub.der")));
    ASSERT_EQ(0, openssl(own, "asn1parse -inform DER -in k.p8", &out));
    EXPECT_NE(std::string::npos, out.find(":sm2")) << out;

    Pkey back = readPkcs8(own.file("k.p8"));
    ASSERT_TRUE(back);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(back.get()));
}

TEST_F(Sm2Hooks, IdEcPublicKeyPkcs8OnTheSm2CurveStaysEc)
{
    Pkey viaStruct = readPkcs8(dir->file("sm2.p8"));
    ASSERT_TRUE(viaStruct);
    EXPECT_EQ(EVP_PKEY_EC, EVP_PKEY_get_id(viaStruct.get()));
    EXPECT_EQ(NID_sm2, curveOf(viaStruct.get()));
    // The library's own reader of encrypted PKCS#8 calls the changed function as well.
    Ptr<BIO> b(BIO_new_file(dir->file("sm2.enc.p8").c_str(), "rb"));
    Pkey viaBio(d2i_PKCS8PrivateKey_bio(b.get(), nullptr, nullptr, const_cast<char *>("mirvale")));
    ASSERT_TRUE(viaBio);
    EXPECT_EQ(EVP_PKEY_EC, EVP_PKEY_get_id(viaBio.get()));
    Pkey p256 = readPkcs8(dir->file("p256.p8"));
    ASSERT_TRUE(p256);
    EXPECT_EQ(EVP_PKEY_EC, EVP_PKEY_get_id(p256.get()));
}

TEST_F(Sm2Hooks, TraditionalEcKeyFromOpensslComesBackAsSm2)
{
    Bytes d = readFile(dir->file("sm2.trad"));
    const unsigned char *p = d.data();
    Pkey key(d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(d.size())));
    ASSERT_TRUE(key);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(key.get()));
}

TEST_F(Sm2Hooks, EcAndSm2KeysOnTheSm2CurveCompareBothWaysAndCheckAgainstTheCertificate)
{
    Cert x = readCertDer(dir->file("sm2.der"));
    Pkey sm2Pub(X509_get_pubkey(x.get()));
    Pkey ecPriv = readPkcs8(dir->file("sm2.p8"));
    Pkey p256Priv = readPkcs8(dir->file("p256.p8"));
    ASSERT_TRUE(sm2Pub && ecPriv && p256Priv);
    ASSERT_EQ(EVP_PKEY_EC, EVP_PKEY_get_id(ecPriv.get()));
    Pkey sm2Priv = sm2Pkey(EVP_PKEY_get0_EC_KEY(ecPriv.get()));

    EXPECT_EQ(1, EVP_PKEY_cmp(ecPriv.get(), sm2Pub.get()));
    EXPECT_EQ(1, EVP_PKEY_cmp(sm2Pub.get(), ecPriv.get()));
    EXPECT_EQ(1, EVP_PKEY_eq(ecPriv.get(), sm2Pub.get()));
    EXPECT_EQ(1, EVP_PKEY_eq(sm2Pub.get(), ecPriv.get()));
    EXPECT_EQ(1, EVP_PKEY_cmp(sm2Priv.get(), sm2Pub.get()));
    Pkey other = newSm2Pkey();
    EXPECT_EQ(0, EVP_PKEY_cmp(other.get(), sm2Pub.get()));
    // An EC key on another curve is of another type, before or after an SM2 key.
    EXPECT_EQ(-1, EVP_PKEY_cmp(sm2Pub.get(), p256Priv.get()));
    EXPECT_EQ(-1, EVP_PKEY_eq(sm2Pub.get(), p256Priv.get()));
    EXPECT_EQ(-1, EVP_PKEY_cmp(p256Priv.get(), sm2Pub.get()));
    EXPECT_EQ(-1, EVP_PKEY_eq(p256Priv.get(), sm2Pub.get()));

    // The certificate's SM2 key matches its id-ecPublicKey PKCS#8 key.
    EXPECT_EQ(1, X509_check_private_key(x.get(), ecPriv.get()));
    EXPECT_EQ(1, X509_check_private_key(x.get(), sm2Priv.get()));
    EXPECT_EQ(0, X509_check_private_key(x.get(), other.get()));
    EXPECT_EQ(0, X509_check_private_key(x.get(), p256Priv.get()));
    ERR_clear_error();
}

// A .p12 that openssl makes from an SM2 key and its certificate gives both back.
TEST_F(Sm2Hooks, Pkcs12FromOpensslGivesKeyAndCertificate)
{
    std::string out;
    ASSERT_EQ(0, openssl(*dir, "x509 -inform DER -in sm2.der -out sm2.crt.pem", &out)) << out;
    ASSERT_EQ(0, openssl(*dir, "pkcs12 -export -inkey sm2.pem -in sm2.crt.pem -passout pass:mirvale -out sm2.p12", &out)) << out;
    Ptr<BIO> in(BIO_new_file(dir->file("sm2.p12").c_str(), "rb"));
    Ptr<PKCS12> p12(d2i_PKCS12_bio(in.get(), nullptr));
    ASSERT_TRUE(p12);
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    STACK_OF(X509) *ca = nullptr;
    ASSERT_EQ(1, PKCS12_parse(p12.get(), "mirvale", &key, &cert, &ca));
    Pkey k(key);
    Cert c(cert);
    ASSERT_TRUE(k);
    ASSERT_TRUE(c) << "the certificate was lost";
    EXPECT_GE(0, sk_X509_num(ca)) << "the certificate went to the CA list"; // -1: no list
    sk_X509_pop_free(ca, X509_free);
    Cert expect = readCertDer(dir->file("sm2.der"));
    EXPECT_EQ(0, X509_cmp(expect.get(), c.get()));
    EXPECT_EQ(1, X509_check_private_key(c.get(), k.get()));
}

// A certificate of key, signed by it, whose id-ecPublicKey has a parameter of type ptype
// without value (V_ASN1_NULL, or V_ASN1_UNDEF: absent), as read from its DER (so the
// library has decoded no key for it).
Cert curvelessCert(EVP_PKEY *key, int ptype = V_ASN1_NULL)
{
    Cert x = selfSigned(key, nullptr, false);
    X509_PUBKEY *spki = X509_get_X509_PUBKEY(x.get());
    unsigned char *point = nullptr;
    size_t len = EC_KEY_key2buf(EVP_PKEY_get0_EC_KEY(key), POINT_CONVERSION_UNCOMPRESSED, &point, nullptr);
    if (X509_PUBKEY_set0_param(spki, OBJ_nid2obj(NID_X9_62_id_ecPublicKey), ptype, nullptr,
                               point, static_cast<int>(len)) != 1
        || X509_sign(x.get(), key, EVP_sm3()) <= 0)
        return Cert();
    Bytes d = der(x.get(), [](const X509 *c, unsigned char **p) { return i2d_X509(c, p); });
    const unsigned char *p = d.data();
    return Cert(d2i_X509(nullptr, &p, static_cast<long>(d.size())));
}

// The error queue holds exactly one entry, the one put there before.
::testing::AssertionResult onlyEntry(unsigned long before)
{
    unsigned long first = ERR_get_error(), next = ERR_get_error();
    ERR_clear_error();
    if (first == before && next == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "queue: " << std::hex << first << ", " << next;
}

struct CurvelessCase {
    const char *name;
    int ptype;
};

class Sm2HooksCurveless : public Sm2Hooks, public ::testing::WithParamInterface<CurvelessCase> {};

TEST_P(Sm2HooksCurveless, CertificateKeyBecomesSm2AndLeavesTheQueueAlone)
{
    Pkey key = newSm2Pkey();
    Cert back = curvelessCert(key.get(), GetParam().ptype);
    ASSERT_TRUE(back);
    // Successful calls leave an earlier entry where it was, and add none.
    ERR_clear_error();
    ERR_raise(ERR_LIB_USER, 1);
    const unsigned long before = ERR_peek_error();
    X509_PUBKEY *spki = X509_get_X509_PUBKEY(back.get());
    Pkey ec(X509_PUBKEY_get(spki));
    ASSERT_TRUE(ec);
    EXPECT_EQ(EVP_PKEY_EC, EVP_PKEY_get_id(ec.get()));
    EXPECT_EQ(NID_sm2, curveOf(ec.get()));
    Pkey again(X509_PUBKEY_get(spki));
    ASSERT_TRUE(again);
    EXPECT_EQ(1, EVP_PKEY_eq(ec.get(), again.get()));
    Pkey sm2(X509_get_pubkey(back.get()));
    ASSERT_TRUE(sm2);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(sm2.get()));
    EXPECT_EQ(1, X509_verify(back.get(), sm2.get()));

    // The borrowed key of the certificate checks is the SM2 key too, the one kept.
    EVP_PKEY *borrowed = X509_get0_pubkey(back.get());
    ASSERT_NE(nullptr, borrowed);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(borrowed));
    EXPECT_EQ(borrowed, X509_PUBKEY_get0(spki));
    EXPECT_EQ(1, EVP_PKEY_eq(borrowed, ec.get()));
    EXPECT_EQ(1, X509_check_private_key(back.get(), key.get()));
    Ptr<X509_STORE> store(X509_STORE_new());
    Ptr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
    ASSERT_TRUE(store && ctx && X509_STORE_add_cert(store.get(), back.get()));
    ASSERT_EQ(1, X509_STORE_CTX_init(ctx.get(), store.get(), back.get(), nullptr));
    EXPECT_EQ(1, X509_verify_cert(ctx.get()))
        << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
    EXPECT_TRUE(onlyEntry(before));

    EXPECT_EQ(0, X509_check_private_key(back.get(), newSm2Pkey().get()));
    ERR_clear_error();
}

INSTANTIATE_TEST_SUITE_P(Parameters, Sm2HooksCurveless,
                         ::testing::Values(CurvelessCase{"Null", V_ASN1_NULL},
                                           CurvelessCase{"Absent", V_ASN1_UNDEF}),
                         [](const ::testing::TestParamInfo<CurvelessCase> &i) {
                             return std::string(i.param.name);
                         });

// Threads that ask at once for the borrowed key of one certificate all get the one key
// that the certificate keeps (and frees: the keys decoded in vain are freed at once).
TEST_F(Sm2Hooks, BorrowedKeyIsKeptOnceForAllThreads)
{
    Pkey key = newSm2Pkey();
    Cert x = curvelessCert(key.get());
    ASSERT_TRUE(x);
    std::vector<EVP_PKEY *> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); i++)
        threads.emplace_back([&x, &seen, i] { seen[i] = X509_get0_pubkey(x.get()); });
    for (std::thread &t : threads)
        t.join();
    ASSERT_NE(nullptr, seen[0]);
    for (EVP_PKEY *k : seen)
        EXPECT_EQ(seen[0], k);
    EXPECT_EQ(seen[0], X509_get0_pubkey(x.get()));
}

TEST_F(Sm2Hooks, EcKeyAccessorsServeEcAndSm2Keys)
{
    Cert x = readCertDer(dir->file("sm2.der"));
    Pkey sm2Pub(X509_get_pubkey(x.get()));
    Pkey ecPriv = readPkcs8(dir->file("sm2.p8"));
    // The library's own decoded (provider) key of the certificate as well.
    EVP_PKEY *provider = X509_get0_pubkey(x.get());
    ASSERT_EQ(NID_sm2, EVP_PKEY_get_id(provider));
    for (EVP_PKEY *k : {sm2Pub.get(), ecPriv.get(), provider}) {
        EC_KEY *a = EVP_PKEY_get1_EC_KEY(k);
        EC_KEY *b = EVP_PKEY_get1_EC_SM2_KEY(k);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(0, EC_POINT_cmp(EC_KEY_get0_group(a), EC_KEY_get0_public_key(a),
                                  EC_KEY_get0_public_key(b), nullptr));
        EC_KEY_free(a);
        EC_KEY_free(b);
    }

    EcKey mine(SM2_KEY_get(1));
    Pkey holder(EVP_PKEY_new());
    ASSERT_EQ(1, EVP_PKEY_set1_EC_SM2_KEY(holder.get(), mine.get()));
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(holder.get()));
    EXPECT_EQ(1, EC_KEY_check_key(mine.get())) << "the caller's reference stays valid";
    holder.reset();
    EXPECT_EQ(1, EC_KEY_check_key(mine.get()));

    Pkey empty(EVP_PKEY_new());
    EXPECT_EQ(0, EVP_PKEY_assign_EC_SM2_KEY(empty.get(), nullptr));
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(empty.get()));
    EXPECT_EQ(nullptr, EVP_PKEY_get0(empty.get()));
    ERR_clear_error();
}

} // namespace
