// The stand-in's cryptographic calls bound by name: SM4 session keys, SM3 with and without
// the signer's Z value, SM2 and RSA signatures, and what each refuses.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "token_fixture.h"

using namespace tokentest;

namespace {

std::vector<BYTE> hex(const char *text)
{
    std::vector<BYTE> bytes;
    for (size_t i = 0; text[i] && text[i + 1]; i += 2)
        bytes.push_back(static_cast<BYTE>(std::stoul(std::string(text + i, 2), nullptr, 16)));
    return bytes;
}

BLOCKCIPHERPARAM padding(ULONG type)
{
    BLOCKCIPHERPARAM p;
    std::memset(&p, 0, sizeof p);
    p.PaddingType = type;
    return p;
}

// One store for the whole suite: dev1 / app1 (user PIN verified) / sm2c and rsac.
class SkfCrypto : public ::testing::Test {
protected:
    static std::string store;
    static DEVHANDLE hDev;
    static HCONTAINER sm2c, rsac;

    static void run(const std::vector<std::string> &args)
    {
        Result r = runMvtoken(args);
        ASSERT_EQ(r.status, 0) << r.output;
    }

    static void SetUpTestSuite()
    {
        ASSERT_NE(standin().handle, nullptr) << dlerror();
        store = makeStore();
        run({"init-device", "dev1"});
        run({"insert", "dev1"});
        run({"init-device", "dev2"});
        run({"insert", "dev2"});
        run({"create-app", "dev1", "app1", "--admin-pin", "admin-pin-1", "--user-pin", "user-pin-1"});
        run({"create-container", "dev1", "app1", "sm2c", "--key", "sm2"});
        run({"create-container", "dev1", "app1", "rsac", "--key", "rsa"});
        ASSERT_EQ(SKF(SKF_ConnectDev)(const_cast<char *>("dev1"), &hDev), SAR_OK);
        HAPPLICATION app = nullptr;
        ULONG retries = 0;
        ASSERT_EQ(SKF(SKF_OpenApplication)(hDev, const_cast<char *>("app1"), &app), SAR_OK);
        ASSERT_EQ(SKF(SKF_VerifyPIN)(app, USER_TYPE, const_cast<char *>("user-pin-1"), &retries), SAR_OK);
        ASSERT_EQ(SKF(SKF_OpenContainer)(app, const_cast<char *>("sm2c"), &sm2c), SAR_OK);
        ASSERT_EQ(SKF(SKF_OpenContainer)(app, const_cast<char *>("rsac"), &rsac), SAR_OK);
    }
    static void TearDownTestSuite() { removeTree(store); }

    HANDLE sessionKey(DEVHANDLE dev, std::vector<BYTE> key)
    {
        key.resize(32);
        HANDLE h = nullptr;
        EXPECT_EQ(SKF(SKF_SetSymmKey)(dev, key.data(), SGD_SM1_ECB, &h), SAR_OK);
        return h;
    }

    std::vector<BYTE> exportKey(HCONTAINER hCon)
    {
        std::vector<BYTE> blob(512);
        ULONG len = blob.size();
        EXPECT_EQ(SKF(SKF_ExportPublicKey)(hCon, TRUE, blob.data(), &len), SAR_OK);
        blob.resize(len);
        return blob;
    }

    // The exported SM2 signing key of sm2c as the digest takes it (8-byte BitLen).
    ECCPUBLICKEYBLOB digestKey()
    {
        const std::vector<BYTE> exported = exportKey(sm2c);
        ECCPUBLICKEYBLOB key;
        std::memset(&key, 0, sizeof key);
        key.BitLen = 256;
        std::memcpy(key.XCoordinate, exported.data() + 4, 64);
        std::memcpy(key.YCoordinate, exported.data() + 68, 64);
        return key;
    }

    // SM3 of data, with Z of the exported SM2 key when id is given.
    std::vector<BYTE> digest(const std::string &data, const char *id)
    {
        ECCPUBLICKEYBLOB key = digestKey();
        HANDLE h = nullptr;
        EXPECT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, &key, (BYTE *)id, id ? std::strlen(id) : 0, &h), SAR_OK);
        std::vector<BYTE> out(32);
        ULONG len = out.size();
        EXPECT_EQ(SKF(SKF_Digest)(h, (BYTE *)data.data(), data.size(), out.data(), &len), SAR_OK);
        EXPECT_EQ(len, 32u);
        return out;
    }
};

std::string SkfCrypto::store;
DEVHANDLE SkfCrypto::hDev = nullptr;
HCONTAINER SkfCrypto::sm2c = nullptr;
HCONTAINER SkfCrypto::rsac = nullptr;

TEST_F(SkfCrypto, Sm4EcbMatchesTheStandardExample)
{
    // GM/T 0002 example 1: key and plain text 0123456789abcdeffedcba9876543210.
    const std::vector<BYTE> key = hex("0123456789abcdeffedcba9876543210");
    HANDLE h = sessionKey(hDev, key);
    std::vector<BYTE> plain = key, cipher(16);
    ULONG len = cipher.size();
    ASSERT_EQ(SKF(SKF_EncryptInit)(h, padding(0)), SAR_OK);
    ASSERT_EQ(SKF(SKF_Encrypt)(h, plain.data(), plain.size(), cipher.data(), &len), SAR_OK);
    EXPECT_EQ(cipher, hex("681edf34d206965e86b3e94f536e4246"));

    std::vector<BYTE> back(16);
    len = back.size();
    ASSERT_EQ(SKF(SKF_DecryptInit)(h, padding(0)), SAR_OK);
    ASSERT_EQ(SKF(SKF_Decrypt)(h, cipher.data(), cipher.size(), back.data(), &len), SAR_OK);
    EXPECT_EQ(back, plain);
}

TEST_F(SkfCrypto, CipherOperationsKeepTheirSizesAndStates)
{
    HANDLE h = sessionKey(hDev, {});
    BYTE data[16] = {0};
    std::vector<BYTE> out(64, 0xAA);
    ULONG len = 0;

    EXPECT_EQ(SKF(SKF_Encrypt)(h, data, 16, out.data(), &len), SAR_NOTINITIALIZEERR);
    ASSERT_EQ(SKF(SKF_EncryptInit)(h, padding(1)), SAR_OK);
    // A size query and a too small buffer leave the operation open.
    EXPECT_EQ(SKF(SKF_Encrypt)(h, data, 16, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 32u);
    len = 31;
    EXPECT_EQ(SKF(SKF_Encrypt)(h, data, 16, out.data(), &len), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 32u);
    EXPECT_EQ(out[0], 0xAA);
    len = out.size();
    EXPECT_EQ(SKF(SKF_Encrypt)(h, data, 16, out.data(), &len), SAR_OK);
    EXPECT_EQ(len, 32u);
    EXPECT_EQ(out[32], 0xAA);
    // The operation ended with the data.
    EXPECT_EQ(SKF(SKF_Encrypt)(h, data, 16, out.data(), &len), SAR_NOTINITIALIZEERR);

    // Decryption with padding: whole blocks only, a bad last block is a padding error, and
    // the plain text's own size decides whether the buffer is large enough.
    ASSERT_EQ(SKF(SKF_DecryptInit)(h, padding(1)), SAR_OK);
    std::vector<BYTE> plain(16);
    len = plain.size();
    EXPECT_EQ(SKF(SKF_Decrypt)(h, out.data(), 31, plain.data(), &len), SAR_INDATALENERR);
    EXPECT_EQ(SKF(SKF_Decrypt)(h, out.data(), 32, plain.data(), &len), SAR_OK);
    EXPECT_EQ(len, 16u);
    ASSERT_EQ(SKF(SKF_DecryptInit)(h, padding(1)), SAR_OK);
    len = plain.size();
    EXPECT_EQ(SKF(SKF_Decrypt)(h, out.data(), 16, plain.data(), &len), SAR_DECRYPTPADERR);

    ASSERT_EQ(SKF(SKF_EncryptInit)(h, padding(0)), SAR_OK);
    len = out.size();
    EXPECT_EQ(SKF(SKF_Encrypt)(h, data, 15, out.data(), &len), SAR_INDATALENERR);
    EXPECT_EQ(SKF(SKF_EncryptInit)(h, padding(2)), SAR_INVALIDPARAMERR);

    BYTE key[32] = {0};
    HANDLE other = nullptr;
    EXPECT_EQ(SKF(SKF_SetSymmKey)(hDev, key, 0x401, &other), SAR_NOTSUPPORTYETERR);
    EXPECT_EQ(SKF(SKF_SetSymmKey)(&len, key, SGD_SM1_ECB, &other), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF(SKF_EncryptInit)(&len, padding(0)), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(SKF(SKF_Encrypt)(hDev, data, 16, out.data(), &len), SAR_INVALIDHANDLEERR);
}

TEST_F(SkfCrypto, Sm3WithoutAnIdIsPlainSm3)
{
    EXPECT_EQ(digest("abc", nullptr), hex("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"));
    EXPECT_NE(digest("abc", "1234567812345678"), digest("abc", nullptr));
    EXPECT_NE(digest("abc", "1234567812345678"), digest("abc", "8765432187654321"));

    HANDLE h = nullptr;
    EXPECT_EQ(SKF(SKF_DigestInit)(hDev, 2, nullptr, nullptr, 0, &h), SAR_NOTSUPPORTYETERR);
    ASSERT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, nullptr, nullptr, 0, &h), SAR_OK);
    BYTE out[32];
    ULONG len = 31;
    EXPECT_EQ(SKF(SKF_Digest)(h, (BYTE *)"abc", 3, out, &len), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 32u);
    EXPECT_EQ(SKF(SKF_Digest)(h, (BYTE *)"abc", 3, out, &len), SAR_OK);
    EXPECT_EQ(SKF(SKF_Digest)(h, (BYTE *)"abc", 3, out, &len), SAR_NOTINITIALIZEERR);
}

TEST_F(SkfCrypto, DigestRefusesKeysAndIdsItCannotHash)
{
    ECCPUBLICKEYBLOB key = digestKey();
    std::vector<BYTE> id(8192, 'i');
    HANDLE h = nullptr;

    EXPECT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, &key, id.data(), 8191, &h), SAR_OK);
    // ENTL has 16 bits: 8192 bytes do not fit.
    EXPECT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, &key, id.data(), 8192, &h), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, nullptr, id.data(), 16, &h), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, &key, nullptr, 16, &h), SAR_INVALIDPARAMERR);
    ECCPUBLICKEYBLOB wide = key;
    wide.XCoordinate[0] = 1;
    EXPECT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, &wide, id.data(), 16, &h), SAR_INVALIDPARAMERR);
    key.BitLen = 255;
    EXPECT_EQ(SKF(SKF_DigestInit)(hDev, SGD_SM3, &key, id.data(), 16, &h), SAR_INVALIDPARAMERR);
    EXPECT_EQ(SKF(SKF_DigestInit)(nullptr, SGD_SM3, nullptr, nullptr, 0, &h), SAR_INVALIDHANDLEERR);
}

TEST_F(SkfCrypto, Sm2SignaturesVerifyAndRefuseWhatIsWrong)
{
    std::vector<BYTE> e = digest("message", "1234567812345678");
    std::vector<BYTE> exported = exportKey(sm2c);
    ASSERT_EQ(exported.size(), 132u);
    std::uint32_t bits = 0;
    std::memcpy(&bits, exported.data(), 4);
    EXPECT_EQ(bits, 256u);
    auto *key = reinterpret_cast<ECCPUBLICKEYBLOB *>(exported.data());

    ECCSIGNATUREBLOB sig;
    EXPECT_EQ(SKF(SKF_ECCSignData)(sm2c, e.data(), 31, &sig), SAR_INDATALENERR);
    EXPECT_EQ(SKF(SKF_ECCSignData)(rsac, e.data(), 32, &sig), SAR_KEYNOTFOUNTERR);
    ASSERT_EQ(SKF(SKF_ECCSignData)(sm2c, e.data(), 32, &sig), SAR_OK);
    EXPECT_EQ(std::vector<BYTE>(sig.r, sig.r + 32), std::vector<BYTE>(32, 0));
    EXPECT_EQ(SKF(SKF_ECCVerify)(hDev, key, e.data(), 32, &sig), SAR_OK);
    // A container handle stands for its device.
    EXPECT_EQ(SKF(SKF_ECCVerify)(sm2c, key, e.data(), 32, &sig), SAR_OK);
    EXPECT_EQ(SKF(SKF_ECCVerify)(hDev, key, e.data(), 31, &sig), SAR_INDATALENERR);

    ECCSIGNATUREBLOB bad = sig;
    bad.s[63] ^= 1;
    EXPECT_EQ(SKF(SKF_ECCVerify)(hDev, key, e.data(), 32, &bad), SAR_FAIL);
    bad = sig;
    bad.r[0] = 1; // r wider than the curve
    EXPECT_EQ(SKF(SKF_ECCVerify)(hDev, key, e.data(), 32, &bad), SAR_FAIL);
    e[0] ^= 1;
    EXPECT_EQ(SKF(SKF_ECCVerify)(hDev, key, e.data(), 32, &sig), SAR_FAIL);
    e[0] ^= 1;

    // A key that is no point of the curve, or of another size, is refused.
    std::vector<BYTE> offCurve = exported;
    offCurve[131] ^= 1;
    EXPECT_EQ(SKF(SKF_ECCVerify)(hDev, reinterpret_cast<ECCPUBLICKEYBLOB *>(offCurve.data()), e.data(), 32, &sig),
              SAR_INVALIDPARAMERR);
    std::vector<BYTE> otherSize = exported;
    otherSize[1] = 2; // 512 bits
    EXPECT_EQ(SKF(SKF_ECCVerify)(hDev, reinterpret_cast<ECCPUBLICKEYBLOB *>(otherSize.data()), e.data(), 32, &sig),
              SAR_INVALIDPARAMERR);
}

TEST_F(SkfCrypto, RsaSignaturesKeepToTheModulus)
{
    std::vector<BYTE> data(118, 'd'), sig(128);
    ULONG len = sig.size();
    // PKCS#1 v1.5 leaves 117 bytes of a 1024-bit block for data.
    EXPECT_EQ(SKF(SKF_RSASignData)(rsac, data.data(), 118, sig.data(), &len), SAR_INDATALENERR);
    EXPECT_EQ(SKF(SKF_RSASignData)(sm2c, data.data(), 20, sig.data(), &len), SAR_KEYNOTFOUNTERR);
    EXPECT_EQ(SKF(SKF_RSASignData)(rsac, data.data(), 117, nullptr, &len), SAR_OK);
    EXPECT_EQ(len, 128u);
    len = 127;
    EXPECT_EQ(SKF(SKF_RSASignData)(rsac, data.data(), 117, sig.data(), &len), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 128u);
    ASSERT_EQ(SKF(SKF_RSASignData)(rsac, data.data(), 117, sig.data(), &len), SAR_OK);

    std::vector<BYTE> exported = exportKey(rsac);
    ASSERT_EQ(exported.size(), sizeof(RSAPUBLICKEYBLOB));
    auto *key = reinterpret_cast<RSAPUBLICKEYBLOB *>(exported.data());
    EXPECT_EQ(key->AlgID, 0x00010000u);
    EXPECT_EQ(key->BitLen, 1024u);
    EXPECT_EQ(SKF(SKF_RSAVerify)(hDev, key, data.data(), 117, sig.data(), 128), SAR_OK);
    EXPECT_EQ(SKF(SKF_RSAVerify)(hDev, key, data.data(), 116, sig.data(), 128), SAR_FAIL);
    EXPECT_EQ(SKF(SKF_RSAVerify)(hDev, key, data.data(), 117, sig.data(), 127), SAR_INDATALENERR);
    // Lengths near the top of ULONG are refused, not wrapped into small ones (the data
    // buffer is far shorter than they claim).
    for (const ULONG hostile : {~ULONG(0) - 10, ~ULONG(0) - 5, ~ULONG(0)}) {
        len = sig.size();
        EXPECT_EQ(SKF(SKF_RSASignData)(rsac, data.data(), hostile, sig.data(), &len), SAR_INDATALENERR) << hostile;
        EXPECT_EQ(len, sig.size()) << hostile;
        EXPECT_EQ(SKF(SKF_RSAVerify)(hDev, key, data.data(), hostile, sig.data(), 128), SAR_INDATALENERR) << hostile;
    }
    key->BitLen = 1004; // not whole bytes
    EXPECT_EQ(SKF(SKF_RSAVerify)(hDev, key, data.data(), 117, sig.data(), 128), SAR_INVALIDPARAMERR);

    // An ECC export does not fit a buffer sized for it when the key is RSA.
    std::vector<BYTE> small(256);
    len = small.size();
    EXPECT_EQ(SKF(SKF_ExportPublicKey)(rsac, TRUE, small.data(), &len), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, sizeof(RSAPUBLICKEYBLOB));
}

TEST_F(SkfCrypto, KeysAndHashesOfARemovedDeviceAreStale)
{
    DEVHANDLE dev2 = nullptr;
    ASSERT_EQ(SKF(SKF_ConnectDev)(const_cast<char *>("dev2"), &dev2), SAR_OK);
    HANDLE key = sessionKey(dev2, {});
    ASSERT_EQ(SKF(SKF_EncryptInit)(key, padding(1)), SAR_OK);
    HANDLE hash = nullptr;
    ASSERT_EQ(SKF(SKF_DigestInit)(dev2, SGD_SM3, nullptr, nullptr, 0, &hash), SAR_OK);

    run({"remove", "dev2"});
    BYTE data[16] = {0}, out[32];
    ULONG len = sizeof out;
    EXPECT_EQ(SKF(SKF_Encrypt)(key, data, 16, out, &len), SAR_DEVICE_REMOVED);
    len = sizeof out;
    EXPECT_EQ(SKF(SKF_Digest)(hash, data, 16, out, &len), SAR_DEVICE_REMOVED);
    EXPECT_EQ(SKF(SKF_DecryptInit)(key, padding(1)), SAR_DEVICE_REMOVED);
}

} // namespace
