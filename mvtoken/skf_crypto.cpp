// Cryptographic entry points of the stand-in token library (formats: skf_crypto.h).
#include "skf_crypto.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include "keys.h"
#include "ossl_ptr.h"
#include "skf_export.h"
#include "store.h"

namespace mvtoken {

SymmKeySession::~SymmKeySession()
{
    OPENSSL_cleanse(key, sizeof key);
}

namespace {

// Lengths handed to OpenSSL are ints; larger inputs are refused before any work.
constexpr ULONG kMaxDataLen = INT_MAX - 2 * kSm4BlockSize;
// The bytes of a PKCS#1 v1.5 block that are not data.
constexpr ULONG kPkcs1Padding = 11;

ULONG deviceOf(void *handle, DeviceRef &ref)
{
    StoreData data;
    ULONG rv = Store::read(data);
    if (rv != SAR_OK)
        return rv;
    DeviceRecord *device = nullptr;
    rv = resolveDevice(handle, data, &device);
    if (rv != SAR_OK)
        return rv;
    ref = refOf(data, *device);
    return SAR_OK;
}

ULONG checkStillPresent(const DeviceRef &ref)
{
    StoreData data;
    const ULONG rv = Store::read(data);
    if (rv != SAR_OK)
        return rv;
    return checkDevice(data, ref);
}

// The signature or encryption key pair of a container, for use (needs the user's log-in)
// or for export (public part only).
ULONG containerKey(HCONTAINER hContainer, bool sign, bool needsUser, KeyKind kind, UniquePtr<EVP_PKEY> &key)
{
    key.reset();
    StoreData data;
    ULONG rv = Store::read(data);
    if (rv != SAR_OK)
        return rv;
    DeviceRecord *device = nullptr;
    ApplicationRecord *app = nullptr;
    ContainerRecord *container = nullptr;
    rv = resolveContainer(hContainer, data, &device, &app, &container);
    if (rv != SAR_OK)
        return rv;
    if (kind != KeyKind::None && container->kind != kind)
        return SAR_KEYNOTFOUNTERR;
    if (needsUser && loggedInAs(refOf(data, *device), app->id) != USER_TYPE)
        return SAR_USER_NOT_LOGGED_IN;
    key = loadKeyPair(*container, sign);
    return key ? SAR_OK : SAR_KEYNOTFOUNTERR;
}

// Right-aligns a big number in a field whose leading bytes are zero.
bool putField(const BIGNUM *bn, unsigned char *field, std::size_t fieldSize, std::size_t valueSize)
{
    std::memset(field, 0, fieldSize);
    return BN_bn2binpad(bn, field + fieldSize - valueSize, static_cast<int>(valueSize)) >= 0;
}

bool leadingZero(const unsigned char *field, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (field[i] != 0)
            return false;
    }
    return true;
}

// A public key of the type from its parameters; null when they make none.
UniquePtr<EVP_PKEY> publicKeyFromData(const char *type, OSSL_PARAM *params)
{
    const UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
    EVP_PKEY *key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0
        || EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
        return nullptr;
    return UniquePtr<EVP_PKEY>(key);
}

// An SM2 public key from its coordinates; null when they are no point of the curve.
UniquePtr<EVP_PKEY> sm2PublicKey(const unsigned char *x, const unsigned char *y)
{
    unsigned char point[1 + 2 * kEccCoordinateSize];
    point[0] = POINT_CONVERSION_UNCOMPRESSED;
    std::memcpy(point + 1, x, kEccCoordinateSize);
    std::memcpy(point + 1 + kEccCoordinateSize, y, kEccCoordinateSize);

    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>(SN_sm2), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        OSSL_PARAM_construct_end(),
    };
    UniquePtr<EVP_PKEY> key = publicKeyFromData("SM2", params);
    if (!key)
        return nullptr;

    // fromdata takes any encoding it can parse; make sure the point really is on the curve.
    const UniquePtr<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1)
        return nullptr;
    return key;
}

// An RSA public key from the big-endian modulus (bytes long) and exponent of the blob.
UniquePtr<EVP_PKEY> rsaPublicKey(const RSAPUBLICKEYBLOB &blob, ULONG bytes)
{
    const UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
    const UniquePtr<BIGNUM> n(BN_bin2bn(blob.Modulus + sizeof blob.Modulus - bytes, static_cast<int>(bytes), nullptr));
    const UniquePtr<BIGNUM> e(BN_bin2bn(blob.PublicExponent, sizeof blob.PublicExponent, nullptr));
    if (!bld || !n || !e || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1
        || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        return nullptr;
    const UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
    if (!params)
        return nullptr;
    return publicKeyFromData("RSA", params.get());
}

// A big-number parameter of a key; null when the key has none.
UniquePtr<BIGNUM> bnParam(const EVP_PKEY *key, const char *name)
{
    BIGNUM *bn = nullptr;
    const bool ok = EVP_PKEY_get_bn_param(key, name, &bn) == 1;
    UniquePtr<BIGNUM> owned(bn);
    if (!ok)
        return nullptr;
    return owned;
}

ULONG sm4Ecb(SymmKeySession &key, bool encrypt, const BYTE *in, ULONG inLen, unsigned char *out, int *outLen)
{
    const UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return SAR_MEMORYERR;
    if (EVP_CipherInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key.key, nullptr, encrypt ? 1 : 0) != 1)
        return SAR_UNKNOWNERR;
    EVP_CIPHER_CTX_set_padding(ctx.get(), key.paddingType == 1 ? 1 : 0);
    int len = 0;
    int finalLen = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &len, in, static_cast<int>(inLen)) != 1)
        return SAR_UNKNOWNERR;
    if (EVP_CipherFinal_ex(ctx.get(), out + len, &finalLen) != 1)
        return encrypt ? SAR_UNKNOWNERR : SAR_DECRYPTPADERR;
    *outLen = len + finalLen;
    return SAR_OK;
}

ULONG cipherInit(HANDLE hKey, const BLOCKCIPHERPARAM &param, SymmKeySession::Operation operation)
{
    auto key = lookupHandleAs<SymmKeySession>(hKey, HandleKind::Key);
    if (!key)
        return SAR_INVALIDHANDLEERR;
    if (param.PaddingType > 1 || param.IVLen > MAX_IV_LEN)
        return SAR_INVALIDPARAMERR;
    std::lock_guard<std::mutex> guard(key->lock);
    const ULONG rv = checkStillPresent(key->device);
    if (rv != SAR_OK)
        return rv;
    key->paddingType = param.PaddingType;
    key->operation = operation;
    return SAR_OK;
}

// One-shot encryption or decryption through an initialised session key.
ULONG cipherRun(HANDLE hKey, bool encrypt, const BYTE *in, ULONG inLen, BYTE *out, ULONG *outLen)
{
    auto key = lookupHandleAs<SymmKeySession>(hKey, HandleKind::Key);
    if (!key)
        return SAR_INVALIDHANDLEERR;
    if (!outLen || (!in && inLen != 0))
        return SAR_INVALIDPARAMERR;
    std::lock_guard<std::mutex> guard(key->lock);
    const auto wanted = encrypt ? SymmKeySession::Operation::Encrypt : SymmKeySession::Operation::Decrypt;
    if (key->operation != wanted)
        return SAR_NOTINITIALIZEERR;
    if (inLen > kMaxDataLen)
        return SAR_INDATALENERR;
    const bool padded = key->paddingType == 1;
    if ((!encrypt || !padded) && inLen % kSm4BlockSize != 0)
        return SAR_INDATALENERR;
    if (!encrypt && padded && inLen == 0)
        return SAR_INDATALENERR;

    // Encryption knows its output size; decryption with padding knows only a bound until
    // the last block is read.
    const ULONG bound = encrypt && padded ? (inLen / kSm4BlockSize + 1) * kSm4BlockSize : inLen;
    if (!out) {
        *outLen = bound;
        return SAR_OK;
    }
    if (encrypt && *outLen < bound) {
        *outLen = bound;
        return SAR_BUFFER_TOO_SMALL;
    }
    ULONG rv = checkStillPresent(key->device);
    if (rv != SAR_OK)
        return rv;

    std::vector<unsigned char> buffer(bound + kSm4BlockSize);
    int written = 0;
    rv = sm4Ecb(*key, encrypt, in, inLen, buffer.data(), &written);
    if (rv == SAR_OK && *outLen < static_cast<ULONG>(written)) {
        *outLen = static_cast<ULONG>(written);
        rv = SAR_BUFFER_TOO_SMALL;
    } else if (rv == SAR_OK) {
        std::memcpy(out, buffer.data(), static_cast<std::size_t>(written));
        *outLen = static_cast<ULONG>(written);
        key->operation = SymmKeySession::Operation::None;
    }
    OPENSSL_cleanse(buffer.data(), buffer.size());
    return rv;
}

// r and s of a DER signature into the token's signature blob.
bool sigToBlob(const unsigned char *der, std::size_t derLen, ECCSIGNATUREBLOB *blob)
{
    const unsigned char *p = der;
    const UniquePtr<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen)));
    return sig && putField(ECDSA_SIG_get0_r(sig.get()), blob->r, sizeof blob->r, kEccCoordinateSize)
           && putField(ECDSA_SIG_get0_s(sig.get()), blob->s, sizeof blob->s, kEccCoordinateSize);
}

// DER of the signature blob; empty when r or s does not fit the curve's size.
std::vector<unsigned char> blobToSig(const ECCSIGNATUREBLOB &blob)
{
    const std::size_t lead = kEccCoordinateField - kEccCoordinateSize;
    if (!leadingZero(blob.r, lead) || !leadingZero(blob.s, lead))
        return {};
    const UniquePtr<ECDSA_SIG> sig(ECDSA_SIG_new());
    UniquePtr<BIGNUM> r(BN_bin2bn(blob.r + lead, kEccCoordinateSize, nullptr));
    UniquePtr<BIGNUM> s(BN_bin2bn(blob.s + lead, kEccCoordinateSize, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
        return {};
    r.release(); // owned by sig now
    s.release();
    return derOf<std::vector<unsigned char>>(sig.get(), i2d_ECDSA_SIG);
}

// The RSA public key of a key pair into the token's blob.
bool rsaBlob(const EVP_PKEY *key, RSAPUBLICKEYBLOB &blob)
{
    std::memset(&blob, 0, sizeof blob);
    const int bits = EVP_PKEY_get_bits(key);
    if (bits <= 0 || bits > MAX_RSA_MODULUS_LEN * 8)
        return false;
    const UniquePtr<BIGNUM> n = bnParam(key, OSSL_PKEY_PARAM_RSA_N);
    if (!n)
        return false;
    const UniquePtr<BIGNUM> e = bnParam(key, OSSL_PKEY_PARAM_RSA_E);
    if (!e || BN_num_bytes(e.get()) > MAX_RSA_EXPONENT_LEN
        || !putField(n.get(), blob.Modulus, sizeof blob.Modulus, sizeof blob.Modulus)
        || !putField(e.get(), blob.PublicExponent, sizeof blob.PublicExponent, sizeof blob.PublicExponent))
        return false;
    blob.AlgID = kSgdRsa;
    blob.BitLen = static_cast<ULONG>(bits);
    return true;
}

// The SM2 public key of a key pair in the token's packed export form.
bool eccBlob(const EVP_PKEY *key, unsigned char (&blob)[kEccExportSize])
{
    const std::uint32_t bits = kEccCoordinateSize * 8;
    const UniquePtr<BIGNUM> x = bnParam(key, OSSL_PKEY_PARAM_EC_PUB_X);
    if (!x)
        return false;
    const UniquePtr<BIGNUM> y = bnParam(key, OSSL_PKEY_PARAM_EC_PUB_Y);
    if (!y || !putField(x.get(), blob + kEccExportBitLenSize, kEccCoordinateField, kEccCoordinateSize)
        || !putField(y.get(), blob + kEccExportBitLenSize + kEccCoordinateField, kEccCoordinateField,
                     kEccCoordinateSize))
        return false;
    std::memcpy(blob, &bits, kEccExportBitLenSize);
    return true;
}

} // namespace

bool sm2ZValue(const unsigned char x[kEccCoordinateSize], const unsigned char y[kEccCoordinateSize],
               const unsigned char *id, std::size_t idLen, unsigned char z[kSm3DigestSize])
{
    if (idLen > kSm2MaxIdLen)
        return false;
    unsigned char field[kEccCoordinateSize];
    const unsigned char entl[2] = {static_cast<unsigned char>((idLen * 8) >> 8),
                                   static_cast<unsigned char>(idLen * 8)};
    const UniquePtr<BN_CTX> bn(BN_CTX_new());
    const UniquePtr<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_sm2));
    const UniquePtr<EVP_MD_CTX> md(EVP_MD_CTX_new());
    const UniquePtr<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
    if (!bn || !group || !md || !p || !a || !b || !gx || !gy)
        return false;
    if (EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), bn.get()) != 1
        || EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx.get(), gy.get(),
                                           bn.get())
               != 1)
        return false;
    if (EVP_DigestInit_ex(md.get(), EVP_sm3(), nullptr) != 1 || EVP_DigestUpdate(md.get(), entl, sizeof entl) != 1
        || EVP_DigestUpdate(md.get(), id, idLen) != 1)
        return false;
    for (const BIGNUM *value : {a.get(), b.get(), gx.get(), gy.get()}) {
        if (BN_bn2binpad(value, field, sizeof field) < 0 || EVP_DigestUpdate(md.get(), field, sizeof field) != 1)
            return false;
    }
    return EVP_DigestUpdate(md.get(), x, kEccCoordinateSize) == 1
           && EVP_DigestUpdate(md.get(), y, kEccCoordinateSize) == 1 && EVP_DigestFinal_ex(md.get(), z, nullptr) == 1;
}

} // namespace mvtoken

using namespace mvtoken;

// --- Session keys and the block cipher ---

SKF_EXPORT ULONG SKF_SetSymmKey(DEVHANDLE hDev, BYTE *pbKey, ULONG ulAlgID, HANDLE *phKey)
try {
    if (!pbKey || !phKey)
        return SAR_INVALIDPARAMERR;
    if (ulAlgID != SGD_SM1_ECB)
        return SAR_NOTSUPPORTYETERR;
    auto key = std::make_shared<SymmKeySession>();
    const ULONG rv = deviceOf(hDev, key->device);
    if (rv != SAR_OK)
        return rv;
    key->algId = ulAlgID;
    std::memcpy(key->key, pbKey, kSm4KeySize);
    *phKey = registerHandle(HandleKind::Key, key);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_SetSymmKey);

SKF_EXPORT ULONG SKF_EncryptInit(HANDLE hKey, BLOCKCIPHERPARAM EncryptParam)
try {
    return cipherInit(hKey, EncryptParam, SymmKeySession::Operation::Encrypt);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_EncryptInit);

SKF_EXPORT ULONG SKF_Encrypt(HANDLE hKey, BYTE *pbData, ULONG ulDataLen, BYTE *pbEncryptedData,
                             ULONG *pulEncryptedLen)
try {
    return cipherRun(hKey, true, pbData, ulDataLen, pbEncryptedData, pulEncryptedLen);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_Encrypt);

SKF_EXPORT ULONG SKF_DecryptInit(HANDLE hKey, BLOCKCIPHERPARAM DecryptParam)
try {
    return cipherInit(hKey, DecryptParam, SymmKeySession::Operation::Decrypt);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_DecryptInit);

SKF_EXPORT ULONG SKF_Decrypt(HANDLE hKey, BYTE *pbEncryptedData, ULONG ulEncryptedLen, BYTE *pbData,
                             ULONG *pulDataLen)
try {
    return cipherRun(hKey, false, pbEncryptedData, ulEncryptedLen, pbData, pulDataLen);
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_Decrypt);

// --- Public keys ---

SKF_EXPORT ULONG SKF_ExportPublicKey(HCONTAINER hContainer, BOOL bSignFlag, BYTE *pbBlob, ULONG *pulBlobLen)
try {
    if (!pulBlobLen)
        return SAR_INVALIDPARAMERR;
    UniquePtr<EVP_PKEY> key;
    const ULONG rv = containerKey(hContainer, bSignFlag != FALSE, false, KeyKind::None, key);
    if (rv != SAR_OK)
        return rv;

    const bool rsa = EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA;
    const ULONG size = rsa ? sizeof(RSAPUBLICKEYBLOB) : kEccExportSize;
    if (!pbBlob) {
        *pulBlobLen = size;
        return SAR_OK;
    }
    if (*pulBlobLen < size) {
        *pulBlobLen = size;
        return SAR_BUFFER_TOO_SMALL;
    }
    if (rsa) {
        RSAPUBLICKEYBLOB blob;
        if (!rsaBlob(key.get(), blob))
            return SAR_UNKNOWNERR;
        std::memcpy(pbBlob, &blob, sizeof blob);
    } else {
        unsigned char blob[kEccExportSize];
        if (!eccBlob(key.get(), blob))
            return SAR_UNKNOWNERR;
        std::memcpy(pbBlob, blob, sizeof blob);
    }
    *pulBlobLen = size;
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_ExportPublicKey);

// --- RSA ---

SKF_EXPORT ULONG SKF_RSASignData(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen, BYTE *pbSignature,
                                 ULONG *pulSignLen)
try {
    if (!pbData || ulDataLen == 0 || !pulSignLen)
        return SAR_INVALIDPARAMERR;
    UniquePtr<EVP_PKEY> key;
    const ULONG rv = containerKey(hContainer, true, true, KeyKind::Rsa, key);
    if (rv != SAR_OK)
        return rv;

    const ULONG size = static_cast<ULONG>(EVP_PKEY_get_size(key.get()));
    // PKCS#1 v1.5 leaves room for 11 bytes of padding (written so that no length wraps).
    if (size < kPkcs1Padding || ulDataLen > size - kPkcs1Padding)
        return SAR_INDATALENERR;
    if (!pbSignature) {
        *pulSignLen = size;
        return SAR_OK;
    }
    if (*pulSignLen < size) {
        *pulSignLen = size;
        return SAR_BUFFER_TOO_SMALL;
    }
    const UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::size_t written = size;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0
        || EVP_PKEY_sign(ctx.get(), pbSignature, &written, pbData, ulDataLen) <= 0)
        return SAR_RSAENCERR;
    *pulSignLen = written;
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_RSASignData);

SKF_EXPORT ULONG SKF_RSAVerify(DEVHANDLE hDev, RSAPUBLICKEYBLOB *pRSAPubKeyBlob, BYTE *pbData, ULONG ulDataLen,
                               BYTE *pbSignature, ULONG ulSignLen)
try {
    if (!pRSAPubKeyBlob || !pbSignature || (!pbData && ulDataLen != 0))
        return SAR_INVALIDPARAMERR;
    DeviceRef device;
    const ULONG rv = deviceOf(hDev, device);
    if (rv != SAR_OK)
        return rv;

    RSAPUBLICKEYBLOB blob;
    std::memcpy(&blob, pRSAPubKeyBlob, sizeof blob);
    const ULONG bytes = blob.BitLen / 8;
    if (blob.BitLen % 8 != 0 || bytes < 64 || bytes > MAX_RSA_MODULUS_LEN)
        return SAR_INVALIDPARAMERR;
    if (ulSignLen != bytes || ulDataLen > bytes - kPkcs1Padding) // bytes >= 64
        return SAR_INDATALENERR;

    const UniquePtr<EVP_PKEY> key = rsaPublicKey(blob, bytes);
    if (!key)
        return SAR_UNKNOWNERR;
    const UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return SAR_UNKNOWNERR;
    return EVP_PKEY_verify(ctx.get(), pbSignature, ulSignLen, pbData, ulDataLen) == 1 ? SAR_OK : SAR_FAIL;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_RSAVerify);

// --- SM3 digest ---

SKF_EXPORT ULONG SKF_DigestInit(DEVHANDLE hDev, ULONG ulAlgID, ECCPUBLICKEYBLOB *pPubKey, unsigned char *pucID,
                                ULONG ulIDLen, HANDLE *phHash)
try {
    if (!phHash)
        return SAR_INVALIDPARAMERR;
    if (ulAlgID != SGD_SM3)
        return SAR_NOTSUPPORTYETERR;
    if (ulIDLen != 0) {
        const std::size_t lead = kEccCoordinateField - kEccCoordinateSize;
        if (!pPubKey || !pucID || ulIDLen > kSm2MaxIdLen || pPubKey->BitLen != kEccCoordinateSize * 8
            || !leadingZero(pPubKey->XCoordinate, lead) || !leadingZero(pPubKey->YCoordinate, lead))
            return SAR_INVALIDPARAMERR;
    }
    auto hash = std::make_shared<HashSession>();
    ULONG rv = deviceOf(hDev, hash->device);
    if (rv != SAR_OK)
        return rv;

    hash->md.reset(EVP_MD_CTX_new());
    if (!hash->md || EVP_DigestInit_ex(hash->md.get(), EVP_sm3(), nullptr) != 1)
        return SAR_HASHOBJERR;
    if (ulIDLen != 0) {
        const std::size_t lead = kEccCoordinateField - kEccCoordinateSize;
        unsigned char z[kSm3DigestSize];
        if (!sm2ZValue(pPubKey->XCoordinate + lead, pPubKey->YCoordinate + lead, pucID, ulIDLen, z)
            || EVP_DigestUpdate(hash->md.get(), z, sizeof z) != 1)
            return SAR_HASHERR;
    }
    *phHash = registerHandle(HandleKind::Hash, hash);
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_DigestInit);

SKF_EXPORT ULONG SKF_Digest(HANDLE hHash, BYTE *pbData, ULONG ulDataLen, BYTE *pbHashData, ULONG *pulHashLen)
try {
    auto hash = lookupHandleAs<HashSession>(hHash, HandleKind::Hash);
    if (!hash)
        return SAR_INVALIDHANDLEERR;
    if (!pulHashLen || (!pbData && ulDataLen != 0))
        return SAR_INVALIDPARAMERR;
    std::lock_guard<std::mutex> guard(hash->lock);
    if (hash->finished)
        return SAR_NOTINITIALIZEERR;
    if (!pbHashData) {
        *pulHashLen = kSm3DigestSize;
        return SAR_OK;
    }
    if (*pulHashLen < kSm3DigestSize) {
        *pulHashLen = kSm3DigestSize;
        return SAR_BUFFER_TOO_SMALL;
    }
    const ULONG rv = checkStillPresent(hash->device);
    if (rv != SAR_OK)
        return rv;
    if ((ulDataLen != 0 && EVP_DigestUpdate(hash->md.get(), pbData, ulDataLen) != 1)
        || EVP_DigestFinal_ex(hash->md.get(), pbHashData, nullptr) != 1)
        return SAR_HASHERR;
    hash->finished = true;
    hash->md.reset();
    *pulHashLen = kSm3DigestSize;
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_Digest);

// --- SM2 ---

SKF_EXPORT ULONG SKF_ECCSignData(HCONTAINER hContainer, BYTE *pbData, ULONG ulDataLen,
                                 PECCSIGNATUREBLOB pSignature)
try {
    if (!pbData || !pSignature)
        return SAR_INVALIDPARAMERR;
    if (ulDataLen != kSm3DigestSize)
        return SAR_INDATALENERR;
    UniquePtr<EVP_PKEY> key;
    const ULONG rv = containerKey(hContainer, true, true, KeyKind::Sm2, key);
    if (rv != SAR_OK)
        return rv;

    std::vector<unsigned char> der;
    std::size_t derLen = 0;
    const UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    // The SM2 signature of e itself: the digest already carries Z.
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0
        || EVP_PKEY_sign(ctx.get(), nullptr, &derLen, pbData, ulDataLen) <= 0)
        return SAR_FAIL;
    der.resize(derLen);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &derLen, pbData, ulDataLen) <= 0
        || !sigToBlob(der.data(), derLen, pSignature))
        return SAR_FAIL;
    return SAR_OK;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_ECCSignData);

SKF_EXPORT ULONG SKF_ECCVerify(DEVHANDLE hDev, ECCPUBLICKEYBLOB *pECCPubKeyBlob, BYTE *pbData, ULONG ulDataLen,
                               PECCSIGNATUREBLOB pSignature)
try {
    if (!pECCPubKeyBlob || !pbData || !pSignature)
        return SAR_INVALIDPARAMERR;
    if (ulDataLen != kSm3DigestSize)
        return SAR_INDATALENERR;
    DeviceRef device;
    const ULONG rv = deviceOf(hDev, device);
    if (rv != SAR_OK)
        return rv;

    // The key arrives in the packed form that SKF_ExportPublicKey writes.
    unsigned char blob[kEccExportSize];
    std::memcpy(blob, pECCPubKeyBlob, sizeof blob);
    std::uint32_t bits = 0;
    std::memcpy(&bits, blob, kEccExportBitLenSize);
    const unsigned char *x = blob + kEccExportBitLenSize;
    const unsigned char *y = x + kEccCoordinateField;
    const std::size_t lead = kEccCoordinateField - kEccCoordinateSize;
    if (bits != kEccCoordinateSize * 8 || !leadingZero(x, lead) || !leadingZero(y, lead))
        return SAR_INVALIDPARAMERR;
    const UniquePtr<EVP_PKEY> key = sm2PublicKey(x + lead, y + lead);
    if (!key)
        return SAR_INVALIDPARAMERR;

    const std::vector<unsigned char> der = blobToSig(*pSignature);
    const UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!der.empty() && ctx && EVP_PKEY_verify_init(ctx.get()) > 0
        && EVP_PKEY_verify(ctx.get(), der.data(), der.size(), pbData, ulDataLen) == 1)
        return SAR_OK;
    return SAR_FAIL;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_ECCVerify);
