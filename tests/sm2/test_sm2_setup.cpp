// The objects, triples, curve and key methods that the module's set-up makes known to
// the crypto library when the program is loaded, and the three set-up calls.
#include "meth_support.h"
#include "sm2_setup.h"

#include <gtest/gtest.h>

#include <openssl/objects.h>

#include <cstring>

using namespace mvmeth;

namespace {

// Looked up while the test program's own static initialisers run.
const int kSha256NidAtStaticInit = OBJ_sn2nid("SM2-SHA256");
const unsigned long kErrorAtStaticInit = ERR_peek_error();

TEST(Sm2Setup, RowsExistBeforeTheProgramsStaticInitialisers)
{
    EXPECT_NE(NID_undef, kSha256NidAtStaticInit);
    EXPECT_EQ(0u, kErrorAtStaticInit) << "the set-up leaves no errors behind";
}

struct ObjectRow {
    const char *oid, *sn, *ln;
    int libraryNid; // NID_undef for objects the set-up creates
};

class Objects : public ::testing::TestWithParam<ObjectRow> {};

// The program never calls the set-up: every lookup below finds the rows all the same.
TEST_P(Objects, OidAndNamesLeadToOneObject)
{
    const ObjectRow &row = GetParam();
    int nid = OBJ_txt2nid(row.oid);
    ASSERT_NE(NID_undef, nid) << row.oid;
    if (row.libraryNid != NID_undef) {
        EXPECT_EQ(row.libraryNid, nid);
    }
    EXPECT_EQ(nid, OBJ_sn2nid(row.sn));
    EXPECT_EQ(nid, OBJ_ln2nid(row.ln));
    EXPECT_STREQ(row.sn, OBJ_nid2sn(nid));
    EXPECT_STREQ(row.ln, OBJ_nid2ln(nid));
    char text[64];
    OBJ_obj2txt(text, sizeof(text), OBJ_nid2obj(nid), 1);
    EXPECT_STREQ(row.oid, text);
}

INSTANTIATE_TEST_SUITE_P(
    Sm2Setup, Objects,
    ::testing::Values(ObjectRow{"1.2.156.10197.1.301", "SM2", "sm2", NID_sm2},
                      ObjectRow{"1.2.156.10197.1.501", "SM2-SM3", "SM2-with-SM3", NID_SM2_with_SM3},
                      ObjectRow{"1.2.156.10197.1.504", "RSA-SM3", "sm3WithRSAEncryption",
                                NID_sm3WithRSAEncryption},
                      ObjectRow{"1.2.156.10197.1.401", "SM3", "sm3", NID_sm3},
                      ObjectRow{"1.2.156.10197.1.502", "SM2-SHA1", "sm2-sha1", NID_undef},
                      ObjectRow{"1.2.156.10197.1.503", "SM2-SHA256", "sm2-sha256", NID_undef},
                      ObjectRow{"1.2.156.10197.1.301.1", "SM2-1", "sm2-1", NID_undef},
                      ObjectRow{"1.2.156.10197.1.301.2", "SM2-ECDH", "sm2-ecdh", NID_undef},
                      ObjectRow{"1.2.156.10197.1.301.3", "SM2-ENC", "sm2-enc", NID_undef},
                      ObjectRow{"1.2.156.10197.1.400.104", "SM4-CBC-HMAC-SM3", "sm4-cbc-hmac-sm3",
                                NID_undef},
                      ObjectRow{"1.2.156.10197.1.104", "SM4", "sm4", NID_undef}));

TEST(Sm2Setup, NothingIsCreatedForTheSm3ArcOfTheOldTables)
{
    EXPECT_EQ(NID_undef, OBJ_txt2nid("1.2.156.10197.1.400"));
}

struct Triple {
    const char *digest;
    int key;
    const char *signature; // nullptr: no triple
};

class Triples : public ::testing::TestWithParam<Triple> {};

TEST_P(Triples, SignatureAlgorithmOfDigestAndKey)
{
    const Triple &t = GetParam();
    int sig = NID_undef;
    int found = OBJ_find_sigid_by_algs(&sig, OBJ_sn2nid(t.digest), t.key);
    if (t.signature == nullptr) {
        EXPECT_EQ(0, found);
        return;
    }
    ASSERT_EQ(1, found);
    EXPECT_STREQ(t.signature, OBJ_nid2sn(sig));
    int digest = NID_undef, key = NID_undef;
    ASSERT_EQ(1, OBJ_find_sigid_algs(sig, &digest, &key));
    EXPECT_EQ(OBJ_sn2nid(t.digest), digest);
    EXPECT_EQ(t.key, key);
}

INSTANTIATE_TEST_SUITE_P(Sm2Setup, Triples,
                         ::testing::Values(Triple{"SM3", NID_sm2, "SM2-SM3"},
                                           Triple{"SHA1", NID_sm2, "SM2-SHA1"},
                                           Triple{"SHA256", NID_sm2, "SM2-SHA256"},
                                           Triple{"SM3", NID_rsa, "RSA-SM3"},
                                           Triple{"SM3", NID_rsaEncryption, nullptr},
                                           Triple{"SHA384", NID_sm2, nullptr}));

TEST(Sm2Setup, TheGmtCurveRecordIsTheLibrarysSm2Curve)
{
    Ptr<EC_GROUP> record(sm2_gmt_curve_new());
    Ptr<EC_GROUP> library(EC_GROUP_new_by_curve_name(NID_sm2));
    ASSERT_TRUE(record && library);
    EXPECT_EQ(0, EC_GROUP_cmp(record.get(), library.get(), nullptr));
    EXPECT_EQ(NID_undef, EC_GROUP_get_curve_name(record.get()));

    EXPECT_EQ(256, EC_GROUP_get_degree(library.get()));
    EXPECT_EQ(256, EC_GROUP_order_bits(library.get()));
    EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(library.get())));
    EXPECT_EQ(1, EC_POINT_is_on_curve(library.get(), EC_GROUP_get0_generator(library.get()), nullptr));
    EXPECT_EQ(1, EC_GROUP_check(record.get(), nullptr));

    size_t n = EC_get_builtin_curves(nullptr, 0);
    std::vector<EC_builtin_curve> curves(n);
    EC_get_builtin_curves(curves.data(), n);
    bool listed = false;
    for (const auto &c : curves)
        listed = listed || c.nid == NID_sm2;
    EXPECT_TRUE(listed);
    EXPECT_EQ(nullptr, EC_GROUP_new_by_curve_name(OBJ_sn2nid("SM2-1")));
    ERR_clear_error();
}

TEST(Sm2Setup, KeyMethodsAreRegisteredForTheSm2Type)
{
    const EVP_PKEY_ASN1_METHOD *ameth = EVP_PKEY_asn1_find(nullptr, NID_sm2);
    ASSERT_NE(nullptr, ameth);
    int id = 0, base = 0, flags = -1;
    const char *info = nullptr, *pem = nullptr;
    ASSERT_EQ(1, EVP_PKEY_asn1_get0_info(&id, &base, &flags, &info, &pem, ameth));
    EXPECT_EQ(NID_sm2, id);
    EXPECT_EQ(NID_sm2, base);
    // Neither an alias nor NULL-parameter signature algorithms (a method made at run time
    // carries the library's dynamic flag besides).
    EXPECT_EQ(0, flags & (ASN1_PKEY_ALIAS | ASN1_PKEY_SIGPARAM_NULL));
    EXPECT_STREQ("SM2", pem);
    EXPECT_STREQ("SM2 algorithm", info);
    EXPECT_EQ(ameth, EVP_PKEY_asn1_find_str(nullptr, "sm2", -1));
    EXPECT_EQ(ameth, EVP_PKEY_asn1_find_str(nullptr, "SM2", -1));
    EXPECT_NE(nullptr, EVP_PKEY_meth_find(NID_sm2));
    // The EC method stays the EC method.
    ASSERT_EQ(1, EVP_PKEY_asn1_get0_info(&id, &base, nullptr, nullptr, nullptr,
                                         EVP_PKEY_asn1_find(nullptr, EVP_PKEY_EC)));
    EXPECT_EQ(EVP_PKEY_EC, id);
}

TEST(Sm2Setup, Sm2ErrorLibraryIsNamed)
{
    EXPECT_STREQ("SM2 routines", ERR_lib_error_string(ERR_PACK(ERR_LIB_SM2, 0, 0)));
}

TEST(Sm2Setup, KeyWithoutPairHasTheNamedSm2Curve)
{
    EcKey key(SM2_KEY_get(0));
    ASSERT_TRUE(key);
    ASSERT_NE(nullptr, EC_KEY_get0_group(key.get()));
    EXPECT_EQ(NID_sm2, EC_GROUP_get_curve_name(EC_KEY_get0_group(key.get())));
    EXPECT_EQ(nullptr, EC_KEY_get0_private_key(key.get()));
    EXPECT_EQ(nullptr, EC_KEY_get0_public_key(key.get()));
    // 06 08 2A 81 1C CF 55 01 82 2D: the OID 1.2.156.10197.1.301
    Bytes params = der(key.get(), [](const EC_KEY *k, unsigned char **p) { return i2d_ECParameters(k, p); });
    EXPECT_EQ((Bytes{0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D}), params);
}

TEST(Sm2Setup, GeneratedKeyPassesTheKeyCheckSilently)
{
    testing::internal::CaptureStdout();
    EcKey key(SM2_KEY_get(1));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    ASSERT_TRUE(key);
    EXPECT_EQ(1, EC_KEY_check_key(key.get()));
    EXPECT_NE(nullptr, EC_KEY_get0_private_key(key.get()));
    Bytes params = der(key.get(), [](const EC_KEY *k, unsigned char **p) { return i2d_ECParameters(k, p); });
    EXPECT_EQ(0x06, params.at(0)) << "named curve, not explicit parameters";
    EcKey other(SM2_KEY_get(1));
    EXPECT_NE(0, BN_cmp(EC_KEY_get0_private_key(key.get()), EC_KEY_get0_private_key(other.get())));
}

TEST(Sm2Setup, PrivateValueOneLeavesTheGenerator)
{
    EcKey key(SM2_KEY_get(0));
    BIGNUM *d = BN_new();
    ASSERT_TRUE(d && BN_one(d));
    EXPECT_EQ(1, SM2_set_priv_public_key(key.get(), d));
    const EC_GROUP *g = EC_KEY_get0_group(key.get());
    EXPECT_EQ(0, EC_POINT_cmp(g, EC_KEY_get0_public_key(key.get()), EC_GROUP_get0_generator(g), nullptr));
    EXPECT_EQ(0, BN_cmp(d, EC_KEY_get0_private_key(key.get())));
    EXPECT_EQ(0, SM2_set_priv_public_key(nullptr, d));
    EcKey bare(EC_KEY_new());
    EXPECT_EQ(0, SM2_set_priv_public_key(bare.get(), d));
    BN_free(d);
}

TEST(Sm2Setup, InitCountsKnownObjectsAsRegisteredAndCreatesNothing)
{
    int next = OBJ_new_nid(0);
    EXPECT_EQ(1, CRYPTO_sm2_init());
    EXPECT_EQ(1, CRYPTO_sm2_init());
    EXPECT_EQ(next, OBJ_new_nid(0));
    EXPECT_EQ(NID_sm2, OBJ_txt2nid("1.2.156.10197.1.301"));
    EXPECT_EQ(NID_SM2_with_SM3, OBJ_txt2nid("1.2.156.10197.1.501"));
}

} // namespace
