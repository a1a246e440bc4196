// The changed library functions, against the openssl command as an outside peer:
// certificate keys and verification, item signing with Z, PKCS#8 and traditional keys,
// key comparison and the EC/SM2 key accessors. Ordinary RSA and EC certificates must
// keep decoding and verifying as before.
#include "meth_support.h"

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

// A certificate of key, signed by it, whose id-ecPublicKey has a NULL parameter, as read
// from its DER (so the library has decoded no key for it).
Cert nullParameterCert(EVP_PKEY *key)
{
    Cert x = selfSigned(key, nullptr, false);
    X509_PUBKEY *spki = X509_get_X509_PUBKEY(x.get());
    unsigned char *point = nullptr;
    size_t len = EC_KEY_key2buf(EVP_PKEY_get0_EC_KEY(key), POINT_CONVERSION_UNCOMPRESSED, &point, nullptr);
    if (X509_PUBKEY_set0_param(spki, OBJ_nid2obj(NID_X9_62_id_ecPublicKey), V_ASN1_NULL, nullptr,
                               point, static_cast<int>(len)) != 1
        || X509_sign(x.get(), key, EVP_sm3()) <= 0)
        return Cert();
    Bytes d = der(x.get(), [](const X509 *c, unsigned char **p) { return i2d_X509(c, p); });
    const unsigned char *p = d.data();
    return Cert(d2i_X509(nullptr, &p, static_cast<long>(d.size())));
}

TEST_F(Sm2Hooks, NullParameterCertificateKeyBecomesSm2)
{
    Pkey key = newSm2Pkey();
    Cert back = nullParameterCert(key.get());
    ASSERT_TRUE(back);
    Pkey ec(X509_PUBKEY_get(X509_get_X509_PUBKEY(back.get())));
    ASSERT_TRUE(ec);
    EXPECT_EQ(EVP_PKEY_EC, EVP_PKEY_get_id(ec.get()));
    EXPECT_EQ(NID_sm2, curveOf(ec.get()));
    Pkey sm2(X509_get_pubkey(back.get()));
    ASSERT_TRUE(sm2);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(sm2.get()));
    EXPECT_EQ(1, X509_verify(back.get(), sm2.get()));

    // The borrowed key of the certificate checks is the SM2 key too.
    EVP_PKEY *borrowed = X509_get0_pubkey(back.get());
    ASSERT_NE(nullptr, borrowed);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(borrowed));
    EXPECT_EQ(1, X509_check_private_key(back.get(), key.get()));
    EXPECT_EQ(0, X509_check_private_key(back.get(), newSm2Pkey().get()));
    Ptr<X509_STORE> store(X509_STORE_new());
    Ptr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
    ASSERT_TRUE(store && ctx && X509_STORE_add_cert(store.get(), back.get()));
    ASSERT_EQ(1, X509_STORE_CTX_init(ctx.get(), store.get(), back.get(), nullptr));
    EXPECT_EQ(1, X509_verify_cert(ctx.get()))
        << X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
    ERR_clear_error();
}

// Threads that ask at once for the borrowed key of one certificate all get the one key
// that the certificate keeps (and frees: the keys decoded in vain are freed at once).
TEST_F(Sm2Hooks, BorrowedKeyIsKeptOnceForAllThreads)
{
    Pkey key = newSm2Pkey();
    Cert x = nullParameterCert(key.get());
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
