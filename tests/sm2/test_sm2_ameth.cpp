// The SM2 key ASN.1 method: SubjectPublicKeyInfo and PKCS#8 encodings, the decoders'
// choice of key type and curve, default digest, sizes, printing and the signer control.
#include "meth_support.h"

#include <gtest/gtest.h>

#include <openssl/objects.h>
#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include <cstring>

using namespace mvmeth;

namespace {

std::string oidText(const ASN1_OBJECT *obj)
{
    char text[80];
    OBJ_obj2txt(text, sizeof(text), obj, 1);
    return text;
}

// Algorithm OID and the parameter (OID text, "NULL", "SEQUENCE" or "absent").
std::pair<std::string, std::string> algorithmOf(const X509_ALGOR *alg)
{
    const ASN1_OBJECT *obj;
    const void *pval;
    int ptype;
    X509_ALGOR_get0(&obj, &ptype, &pval, alg);
    std::string param = ptype == V_ASN1_OBJECT   ? oidText(static_cast<const ASN1_OBJECT *>(pval))
                        : ptype == V_ASN1_NULL     ? "NULL"
                        : ptype == V_ASN1_SEQUENCE ? "SEQUENCE"
                                                   : "absent";
    return {oidText(obj), param};
}

const char *const kSm2Oid = "1.2.156.10197.1.301";
const char *const kEcOid = "1.2.840.10045.2.1";

TEST(Sm2Ameth, Pkcs8NamesTheSm2AlgorithmAndReadsBack)
{
    Pkey key = newSm2Pkey();
    Ptr<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(key.get()));
    ASSERT_TRUE(p8);
    const X509_ALGOR *alg = nullptr;
    const unsigned char *inner = nullptr;
    int innerLen = 0;
    ASSERT_EQ(1, PKCS8_pkey_get0(nullptr, &inner, &innerLen, &alg, p8.get()));
    EXPECT_EQ(std::make_pair(std::string(kSm2Oid), std::string(kSm2Oid)), algorithmOf(alg));
    // The inner EC private key leaves the parameters out and keeps the public key.
    // SEQUENCE { INTEGER 1, OCTET STRING d (32 bytes), [1] public key }: no [0] in between.
    ASSERT_GT(innerLen, 40);
    EXPECT_EQ(0x30, inner[0]);
    EXPECT_EQ(0x04, inner[5]);
    EXPECT_EQ(0x20, inner[6]);
    EXPECT_EQ(0xA1, inner[39]);

    Pkey back(EVP_PKCS82PKEY(p8.get()));
    ASSERT_TRUE(back);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(back.get()));
    EXPECT_EQ(1, EVP_PKEY_eq(key.get(), back.get()));
    EXPECT_TRUE(EC_KEY_get_flags(EVP_PKEY_get0_EC_KEY(back.get())) & EC_FLAG_SM2_RANGE);
    EXPECT_EQ(0, BN_cmp(EC_KEY_get0_private_key(EVP_PKEY_get0_EC_KEY(key.get())),
                        EC_KEY_get0_private_key(EVP_PKEY_get0_EC_KEY(back.get()))));
}

TEST(Sm2Ameth, PublicKeyIsWrittenAsIdEcPublicKeyWithTheCurve)
{
    Pkey key = newSm2Pkey();
    Ptr<X509_PUBKEY> spki = spkiParse(spkiOf(key.get()));
    ASSERT_TRUE(spki);
    X509_ALGOR *alg = nullptr;
    ASSERT_EQ(1, X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, spki.get()));
    EXPECT_EQ(std::make_pair(std::string(kEcOid), std::string(kSm2Oid)), algorithmOf(alg));
}

TEST(Sm2Ameth, ExplicitParametersAreWrittenAsASequence)
{
    EcKey ec(SM2_KEY_get(1));
    EC_KEY_set_asn1_flag(ec.get(), OPENSSL_EC_EXPLICIT_CURVE);
    Pkey key = sm2Pkey(ec.get());
    Ptr<X509_PUBKEY> spki = spkiParse(spkiOf(key.get()));
    ASSERT_TRUE(spki);
    X509_ALGOR *alg = nullptr;
    X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &alg, spki.get());
    EXPECT_EQ("SEQUENCE", algorithmOf(alg).second);
    Ptr<PKCS8_PRIV_KEY_INFO> p8(EVP_PKEY2PKCS8(key.get()));
    ASSERT_TRUE(p8);
    const X509_ALGOR *palg = nullptr;
    PKCS8_pkey_get0(nullptr, nullptr, nullptr, &palg, p8.get());
    EXPECT_EQ(std::make_pair(std::string(kSm2Oid), std::string("SEQUENCE")), algorithmOf(palg));
    Pkey back(EVP_PKCS82PKEY(p8.get()));
    ASSERT_TRUE(back);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(back.get()));
    EXPECT_EQ(1, EVP_PKEY_eq(key.get(), back.get()));
}

struct SpkiCase {
    const char *name;
    const char *algorithm; // OID text
    int ptype;             // V_ASN1_OBJECT, V_ASN1_NULL or V_ASN1_UNDEF
    int curveParam;        // the OBJECT parameter's curve
    int pointCurve;        // curve of the encoded point
    int type;              // expected key type, NID_undef: decoding fails
    int curve;             // expected curve
};

class Sm2Spki : public ::testing::TestWithParam<SpkiCase> {};

TEST_P(Sm2Spki, DecoderChoosesTypeAndCurve)
{
    const SpkiCase &c = GetParam();
    EcKey ec = newEcKey(c.pointCurve);
    unsigned char *point = nullptr;
    size_t pointLen = EC_KEY_key2buf(ec.get(), POINT_CONVERSION_UNCOMPRESSED, &point, nullptr);
    ASSERT_GT(pointLen, 0u);
    Ptr<X509_PUBKEY> built(X509_PUBKEY_new());
    void *pval = c.ptype == V_ASN1_OBJECT ? OBJ_nid2obj(c.curveParam) : nullptr;
    ASSERT_EQ(1, X509_PUBKEY_set0_param(built.get(), OBJ_txt2obj(c.algorithm, 1), c.ptype, pval,
                                        point, static_cast<int>(pointLen)));
    // Through DER, as a certificate brings it.
    Ptr<X509_PUBKEY> spki = spkiParse(der(built.get(), i2d_X509_PUBKEY));
    ASSERT_TRUE(spki);
    ERR_clear_error();
    Pkey pkey(X509_PUBKEY_get(spki.get()));
    // The borrowed key that certificate checks use is an SM2 key on the SM2 curve.
    EVP_PKEY *borrowed = X509_PUBKEY_get0(spki.get());
    if (c.type == NID_undef) {
        EXPECT_FALSE(pkey);
        EXPECT_EQ(nullptr, borrowed);
        ERR_clear_error();
        return;
    }
    ASSERT_NE(nullptr, borrowed) << c.name;
    EXPECT_EQ(c.curve == NID_sm2 ? NID_sm2 : c.type, EVP_PKEY_get_id(borrowed)) << c.name;
    EXPECT_EQ(c.curve, curveOf(borrowed));
    EXPECT_EQ(borrowed, X509_PUBKEY_get0(spki.get()));
    ASSERT_TRUE(pkey) << c.name;
    EXPECT_EQ(0u, ERR_peek_error()) << c.name << ": a key that decodes leaves no error";
    EXPECT_EQ(c.type, EVP_PKEY_get_id(pkey.get()));
    EXPECT_EQ(c.curve, curveOf(pkey.get()));
    EXPECT_EQ(0, EC_POINT_cmp(EC_KEY_get0_group(ec.get()), EC_KEY_get0_public_key(ec.get()),
                              EC_KEY_get0_public_key(EVP_PKEY_get0_EC_KEY(pkey.get())), nullptr));
    ERR_clear_error();
}

const int kEc = EVP_PKEY_EC, kP256 = NID_X9_62_prime256v1;

INSTANTIATE_TEST_SUITE_P(
    Sm2Ameth, Sm2Spki,
    ::testing::Values(SpkiCase{"ec+sm2", kEcOid, V_ASN1_OBJECT, NID_sm2, NID_sm2, NID_sm2, NID_sm2},
                      SpkiCase{"ec+p256", kEcOid, V_ASN1_OBJECT, kP256, kP256, kEc, kP256},
                      SpkiCase{"ec+null", kEcOid, V_ASN1_NULL, 0, NID_sm2, kEc, NID_sm2},
                      SpkiCase{"ec+absent", kEcOid, V_ASN1_UNDEF, 0, NID_sm2, kEc, NID_sm2},
                      SpkiCase{"sm2+null", kSm2Oid, V_ASN1_NULL, 0, NID_sm2, NID_sm2, NID_sm2},
                      SpkiCase{"sm2+sm2", kSm2Oid, V_ASN1_OBJECT, NID_sm2, NID_sm2, NID_sm2, NID_sm2},
                      SpkiCase{"sm2-1+null", "1.2.156.10197.1.301.1", V_ASN1_NULL, 0, NID_sm2, NID_sm2,
                               NID_sm2},
                      SpkiCase{"sm2+p256", kSm2Oid, V_ASN1_OBJECT, kP256, kP256, NID_sm2, kP256},
                      SpkiCase{"sm2+absent", kSm2Oid, V_ASN1_UNDEF, 0, NID_sm2, NID_undef, 0}),
    [](const ::testing::TestParamInfo<SpkiCase> &info) {
        std::string n = info.param.name;
        for (auto &ch : n)
            if (!isalnum(static_cast<unsigned char>(ch)))
                ch = '_';
        return n;
    });

TEST(Sm2Ameth, AbsentParametersReportDecodeErrorThenEcLib)
{
    Ptr<X509_PUBKEY> spki(X509_PUBKEY_new());
    EcKey ec(SM2_KEY_get(1));
    unsigned char *point = nullptr;
    size_t len = EC_KEY_key2buf(ec.get(), POINT_CONVERSION_UNCOMPRESSED, &point, nullptr);
    X509_PUBKEY_set0_param(spki.get(), OBJ_nid2obj(NID_sm2), V_ASN1_UNDEF, nullptr, point, (int)len);
    ERR_clear_error();
    EXPECT_EQ(nullptr, X509_PUBKEY_get(spki.get()));
    bool sawDecode = false, sawEcLib = false;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        if (ERR_GET_LIB(e) == ERR_LIB_EC && ERR_GET_REASON(e) == EC_R_DECODE_ERROR)
            sawDecode = true;
        if (ERR_GET_LIB(e) == ERR_LIB_EC && ERR_GET_REASON(e) == ERR_R_EC_LIB && sawDecode)
            sawEcLib = true;
    }
    EXPECT_TRUE(sawDecode);
    EXPECT_TRUE(sawEcLib);
}

TEST(Sm2Ameth, Pkcs8WithoutPublicPointRecomputesIt)
{
    EcKey ec(SM2_KEY_get(1));
    EcKey inner(EC_KEY_dup(ec.get()));
    EC_KEY_set_enc_flags(inner.get(), EC_PKEY_NO_PUBKEY | EC_PKEY_NO_PARAMETERS);
    Bytes innerDer = der(inner.get(), [](const EC_KEY *k, unsigned char **p) { return i2d_ECPrivateKey(const_cast<EC_KEY *>(k), p); });
    unsigned char *buf = static_cast<unsigned char *>(OPENSSL_memdup(innerDer.data(), innerDer.size()));
    Ptr<PKCS8_PRIV_KEY_INFO> p8(PKCS8_PRIV_KEY_INFO_new());
    ASSERT_EQ(1, PKCS8_pkey_set0(p8.get(), OBJ_nid2obj(NID_sm2), 0, V_ASN1_OBJECT, OBJ_nid2obj(NID_sm2),
                                 buf, static_cast<int>(innerDer.size())));
    Pkey back(EVP_PKCS82PKEY(p8.get()));
    ASSERT_TRUE(back);
    EXPECT_EQ(NID_sm2, EVP_PKEY_get_id(back.get()));
    const EC_KEY *got = EVP_PKEY_get0_EC_KEY(back.get());
    ASSERT_NE(nullptr, EC_KEY_get0_public_key(got));
    EXPECT_EQ(0, EC_POINT_cmp(EC_KEY_get0_group(got), EC_KEY_get0_public_key(got),
                              EC_KEY_get0_public_key(ec.get()), nullptr));
}

TEST(Sm2Ameth, DefaultDigestIsMandatorySm3)
{
    Pkey key = newSm2Pkey();
    int nid = NID_undef;
    EXPECT_EQ(2, EVP_PKEY_get_default_digest_nid(key.get(), &nid));
    EXPECT_EQ(NID_sm3, nid);
    EXPECT_EQ(72, EVP_PKEY_get_size(key.get()));
    EXPECT_EQ(256, EVP_PKEY_get_bits(key.get()));
    EXPECT_EQ(128, EVP_PKEY_get_security_bits(key.get()));
}

TEST(Sm2Ameth, PrintSlotsGiveTheOrderBits)
{
    Pkey key = newSm2Pkey();
    Ptr<BIO> mem(BIO_new(BIO_s_mem()));
    ASSERT_EQ(1, EVP_PKEY_print_private(mem.get(), key.get(), 0, nullptr));
    ASSERT_EQ(1, EVP_PKEY_print_public(mem.get(), key.get(), 0, nullptr));
    char *text = nullptr;
    long n = BIO_get_mem_data(mem.get(), &text);
    std::string out(text, static_cast<size_t>(n));
    EXPECT_NE(std::string::npos, out.find("Private-Key: (256 bit)")) << out;
    EXPECT_NE(std::string::npos, out.find("Public-Key: (256 bit)")) << out;
    EXPECT_NE(std::string::npos, out.find("priv:\n"));
    EXPECT_NE(std::string::npos, out.find("pub: \n")) << out;
    EXPECT_NE(std::string::npos, out.find("ASN1 OID: SM2")) << out;

    // A key without group prints nothing and says why.
    Pkey bare(EVP_PKEY_new());
    ASSERT_EQ(1, EVP_PKEY_assign(bare.get(), NID_sm2, EC_KEY_new()));
    ERR_clear_error();
    EXPECT_NE(1, EVP_PKEY_print_public(mem.get(), bare.get(), 0, nullptr));
    EXPECT_EQ(ERR_R_PASSED_NULL_PARAMETER, ERR_GET_REASON(ERR_peek_error()));
    ERR_clear_error();
}

TEST(Sm2Ameth, TraditionalEcKeyOnTheSm2CurveComesBackAsSm2)
{
    struct Case {
        int curve, type;
    } cases[] = {{NID_sm2, NID_sm2}, {NID_X9_62_prime256v1, EVP_PKEY_EC}};
    for (const Case &c : cases) {
        EcKey ec = newEcKey(c.curve);
        Bytes d = der(ec.get(), [](const EC_KEY *k, unsigned char **p) { return i2d_ECPrivateKey(const_cast<EC_KEY *>(k), p); });
        const unsigned char *p = d.data();
        Pkey key(d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(d.size())));
        ASSERT_TRUE(key) << c.curve;
        EXPECT_EQ(c.type, EVP_PKEY_get_id(key.get())) << c.curve;
    }
}

TEST(Sm2Ameth, SignerInfoControlPicksTheSm2SignatureAlgorithm)
{
    Pkey key = newSm2Pkey();
    Cert cert = selfSigned(key.get(), EVP_sm3());
    ASSERT_TRUE(cert);
    struct Case {
        const EVP_MD *md;
        const char *sig; // nullptr: refused
    } cases[] = {{EVP_sha256(), "SM2-SHA256"}, {EVP_sha1(), "SM2-SHA1"}, {EVP_sm3(), "SM2-SM3"},
                 {EVP_sha384(), nullptr}};
    for (const Case &c : cases) {
        PKCS7_SIGNER_INFO *si = PKCS7_SIGNER_INFO_new();
        int ok = PKCS7_SIGNER_INFO_set(si, cert.get(), key.get(), c.md);
        if (c.sig == nullptr) {
            EXPECT_EQ(0, ok) << EVP_MD_get0_name(c.md);
        } else {
            ASSERT_EQ(1, ok) << EVP_MD_get0_name(c.md);
            X509_ALGOR *dig = nullptr, *sig = nullptr;
            PKCS7_SIGNER_INFO_get0_algs(si, nullptr, &dig, &sig);
            EXPECT_STREQ(c.sig, OBJ_nid2sn(OBJ_obj2nid(sig->algorithm)));
            EXPECT_EQ("absent", algorithmOf(sig).second);
        }
        PKCS7_SIGNER_INFO_free(si);
        ERR_clear_error();

        // The same choice for CMS signer infos.
        CMS_ContentInfo *cms = CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_BINARY);
        ASSERT_NE(nullptr, cms);
        CMS_SignerInfo *csi = CMS_add1_signer(cms, cert.get(), key.get(), c.md, CMS_PARTIAL);
        if (c.sig == nullptr) {
            EXPECT_EQ(nullptr, csi) << EVP_MD_get0_name(c.md);
        } else {
            ASSERT_NE(nullptr, csi) << EVP_MD_get0_name(c.md);
            X509_ALGOR *dig = nullptr, *sig = nullptr;
            CMS_SignerInfo_get0_algs(csi, nullptr, nullptr, &dig, &sig);
            EXPECT_STREQ(c.sig, OBJ_nid2sn(OBJ_obj2nid(sig->algorithm)));
        }
        CMS_ContentInfo_free(cms);
        ERR_clear_error();
    }
}

} // namespace
