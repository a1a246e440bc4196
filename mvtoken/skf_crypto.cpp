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
#include "skf_export.h"
#include "store.h"

namespace mvtoken {

SymmKeySession::~SymmKeySession()
{
    OPENSSL_cleanse(key, sizeof key);
}

HashSession::~HashSession()
{
    EVP_MD_CTX_free(md);
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
    ref = refOf(*device);
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
ULONG containerKey(HCONTAINER hContainer, bool sign, bool needsUser, KeyKind kind, EVP_PKEY **key)
{
    *key = nullptr;
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
    if (needsUser && loggedInAs(app->id) != USER_TYPE)
        return SAR_USER_NOT_LOGGED_IN;
    *key = loadKeyPair(*container, sign);
    return *key ? SAR_OK : SAR_KEYNOTFOUNTERR;
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

// An SM2 public key from its coordinates; null when they are no point of the curve.
EVP_PKEY *sm2PublicKey(const unsigned char *x, const unsigned char *y)
{
    unsigned char point[1 + 2 * kEccCoordinateSize];
    point[0] = POINT_CONVERSION_UNCOMPRESSED;
    std::memcpy(point + 1, x, kEccCoordinateSize);
    std::memcpy(point + 1 + kEccCoordinateSize, y, kEccCoordinateSize);

    EVP_PKEY *key = nullptr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>(SN_sm2), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    if (!ctx || EVP_PKEY_fromdata_init(ctx) <= 0 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    if (!key)
        return nullptr;

    // fromdata takes any encoding it can parse; make sure the point really is on the curve.
    EVP_PKEY_CTX *check = EVP_PKEY_CTX_new(key, nullptr);
    const bool valid = check && EVP_PKEY_public_check(check) == 1;
    EVP_PKEY_CTX_free(check);
    if (!valid) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

ULONG sm4Ecb(SymmKeySession &key, bool encrypt, const BYTE *in, ULONG inLen, unsigned char *out, int *outLen)
{
    ULONG rv = SAR_UNKNOWNERR;
    int len = 0;
    int finalLen = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (!ctx) {
        rv = SAR_MEMORYERR;
        goto err;
    }
    if (EVP_CipherInit_ex(ctx, EVP_sm4_ecb(), nullptr, key.key, nullptr, encrypt ? 1 : 0) != 1)
        goto err;
    EVP_CIPHER_CTX_set_padding(ctx, key.paddingType == 1 ? 1 : 0);
    if (EVP_CipherUpdate(ctx, out, &len, in, static_cast<int>(inLen)) != 1)
        goto err;
    if (EVP_CipherFinal_ex(ctx, out + len, &finalLen) != 1) {
        rv = encrypt ? SAR_UNKNOWNERR : SAR_DECRYPTPADERR;
        goto err;
    }
    *outLen = len + finalLen;
    rv = SAR_OK;
err:
    EVP_CIPHER_CTX_free(ctx);
    return rv;
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
    ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derLen));
    if (!sig)
        return false;
    const bool ok = putField(ECDSA_SIG_get0_r(sig), blob->r, sizeof blob->r, kEccCoordinateSize)
                    && putField(ECDSA_SIG_get0_s(sig), blob->s, sizeof blob->s, kEccCoordinateSize);
    ECDSA_SIG_free(sig);
    return ok;
}

// DER of the signature blob; empty when r or s does not fit the curve's size.
std::vector<unsigned char> blobToSig(const ECCSIGNATUREBLOB &blob)
{
    std::vector<unsigned char> der;
    const std::size_t lead = kEccCoordinateField - kEccCoordinateSize;
    if (!leadingZero(blob.r, lead) || !leadingZero(blob.s, lead))
        return der;
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(blob.r + lead, kEccCoordinateSize, nullptr);
    BIGNUM *s = BN_bin2bn(blob.s + lead, kEccCoordinateSize, nullptr);
    unsigned char *out = nullptr;
    int len = 0;
    if (!sig || !r || !s || ECDSA_SIG_set0(sig, r, s) != 1)
        goto err;
    r = s = nullptr; // owned by sig now
    len = i2d_ECDSA_SIG(sig, &out);
    if (len > 0)
        der.assign(out, out + len);
err:
    OPENSSL_free(out);
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return der;
}

} // namespace

bool sm2ZValue(const unsigned char x[kEccCoordinateSize], const unsigned char y[kEccCoordinateSize],
               const unsigned char *id, std::size_t idLen, unsigned char z[kSm3DigestSize])
{
    bool ok = false;
    unsigned char field[kEccCoordinateSize];
    const unsigned char entl[2] = {static_cast<unsigned char>((idLen * 8) >> 8),
                                   static_cast<unsigned char>(idLen * 8)};
    BN_CTX *bn = BN_CTX_new();
    EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    BIGNUM *p = nullptr, *a = nullptr, *b = nullptr, *gx = nullptr, *gy = nullptr;
    if (idLen > kSm2MaxIdLen || !bn || !group || !md)
        goto err;
    BN_CTX_start(bn);
    p = BN_CTX_get(bn);
    a = BN_CTX_get(bn);
    b = BN_CTX_get(bn);
    gx = BN_CTX_get(bn);
    gy = BN_CTX_get(bn);
    if (!gy || EC_GROUP_get_curve(group, p, a, b, bn) != 1
        || EC_POINT_get_affine_coordinates(group, EC_GROUP_get0_generator(group), gx, gy, bn) != 1)
        goto err;
    if (EVP_DigestInit_ex(md, EVP_sm3(), nullptr) != 1 || EVP_DigestUpdate(md, entl, sizeof entl) != 1
        || EVP_DigestUpdate(md, id, idLen) != 1)
        goto err;
    for (const BIGNUM *value : {a, b, gx, gy}) {
        if (BN_bn2binpad(value, field, sizeof field) < 0 || EVP_DigestUpdate(md, field, sizeof field) != 1)
            goto err;
    }
    if (EVP_DigestUpdate(md, x, kEccCoordinateSize) != 1 || EVP_DigestUpdate(md, y, kEccCoordinateSize) != 1
        || EVP_DigestFinal_ex(md, z, nullptr) != 1)
        goto err;
    ok = true;
err:
    if (bn)
        BN_CTX_end(bn);
    BN_CTX_free(bn);
    EC_GROUP_free(group);
    EVP_MD_CTX_free(md);
    return ok;
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
    EVP_PKEY *key = nullptr;
    ULONG rv = containerKey(hContainer, bSignFlag != FALSE, false, KeyKind::None, &key);
    if (rv != SAR_OK)
        return rv;

    BIGNUM *n = nullptr, *e = nullptr, *x = nullptr, *y = nullptr;
    const bool rsa = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
    const ULONG size = rsa ? sizeof(RSAPUBLICKEYBLOB) : kEccExportSize;
    if (!pbBlob) {
        *pulBlobLen = size;
        rv = SAR_OK;
        goto err;
    }
    if (*pulBlobLen < size) {
        *pulBlobLen = size;
        rv = SAR_BUFFER_TOO_SMALL;
        goto err;
    }
    rv = SAR_UNKNOWNERR;
    if (rsa) {
        RSAPUBLICKEYBLOB blob;
        std::memset(&blob, 0, sizeof blob);
        const int bits = EVP_PKEY_get_bits(key);
        if (bits <= 0 || bits > MAX_RSA_MODULUS_LEN * 8
            || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1
            || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) != 1 || BN_num_bytes(e) > MAX_RSA_EXPONENT_LEN
            || !putField(n, blob.Modulus, sizeof blob.Modulus, sizeof blob.Modulus)
            || !putField(e, blob.PublicExponent, sizeof blob.PublicExponent, sizeof blob.PublicExponent))
            goto err;
        blob.AlgID = kSgdRsa;
        blob.BitLen = static_cast<ULONG>(bits);
        std::memcpy(pbBlob, &blob, sizeof blob);
    } else {
        unsigned char blob[kEccExportSize];
        const std::uint32_t bits = kEccCoordinateSize * 8;
        if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x) != 1
            || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y) != 1
            || !putField(x, blob + kEccExportBitLenSize, kEccCoordinateField, kEccCoordinateSize)
            || !putField(y, blob + kEccExportBitLenSize + kEccCoordinateField, kEccCoordinateField,
                         kEccCoordinateSize))
            goto err;
        std::memcpy(blob, &bits, kEccExportBitLenSize);
        std::memcpy(pbBlob, blob, sizeof blob);
    }
    *pulBlobLen = size;
    rv = SAR_OK;
err:
    BN_free(n);
    BN_free(e);
    BN_free(x);
    BN_free(y);
    EVP_PKEY_free(key);
    return rv;
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
    EVP_PKEY *key = nullptr;
    ULONG rv = containerKey(hContainer, true, true, KeyKind::Rsa, &key);
    if (rv != SAR_OK)
        return rv;

    EVP_PKEY_CTX *ctx = nullptr;
    const ULONG size = static_cast<ULONG>(EVP_PKEY_get_size(key));
    std::size_t written = size;
    // PKCS#1 v1.5 leaves room for 11 bytes of padding (written so that no length wraps).
    if (size < kPkcs1Padding || ulDataLen > size - kPkcs1Padding) {
        rv = SAR_INDATALENERR;
        goto err;
    }
    if (!pbSignature) {
        *pulSignLen = size;
        rv = SAR_OK;
        goto err;
    }
    if (*pulSignLen < size) {
        *pulSignLen = size;
        rv = SAR_BUFFER_TOO_SMALL;
        goto err;
    }
    rv = SAR_RSAENCERR;
    ctx = EVP_PKEY_CTX_new(key, nullptr);
    if (!ctx || EVP_PKEY_sign_init(ctx) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0
        || EVP_PKEY_sign(ctx, pbSignature, &written, pbData, ulDataLen) <= 0)
        goto err;
    *pulSignLen = written;
    rv = SAR_OK;
err:
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return rv;
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
    ULONG rv = deviceOf(hDev, device);
    if (rv != SAR_OK)
        return rv;

    RSAPUBLICKEYBLOB blob;
    std::memcpy(&blob, pRSAPubKeyBlob, sizeof blob);
    const ULONG bytes = blob.BitLen / 8;
    if (blob.BitLen % 8 != 0 || bytes < 64 || bytes > MAX_RSA_MODULUS_LEN)
        return SAR_INVALIDPARAMERR;
    if (ulSignLen != bytes || ulDataLen > bytes - kPkcs1Padding) // bytes >= 64
        return SAR_INDATALENERR;

    rv = SAR_UNKNOWNERR;
    EVP_PKEY *key = nullptr;
    EVP_PKEY_CTX *ctx = nullptr;
    int verified = 0;
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *keyCtx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM *n = BN_bin2bn(blob.Modulus + sizeof blob.Modulus - bytes, static_cast<int>(bytes), nullptr);
    BIGNUM *e = BN_bin2bn(blob.PublicExponent, sizeof blob.PublicExponent, nullptr);
    if (!bld || !keyCtx || !n || !e || OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n) != 1
        || OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e) != 1 || !(params = OSSL_PARAM_BLD_to_param(bld))
        || EVP_PKEY_fromdata_init(keyCtx) <= 0 || EVP_PKEY_fromdata(keyCtx, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
        goto err;
    ctx = EVP_PKEY_CTX_new(key, nullptr);
    if (!ctx || EVP_PKEY_verify_init(ctx) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0)
        goto err;
    verified = EVP_PKEY_verify(ctx, pbSignature, ulSignLen, pbData, ulDataLen);
    rv = verified == 1 ? SAR_OK : SAR_FAIL;
err:
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(keyCtx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return rv;
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

    hash->md = EVP_MD_CTX_new();
    if (!hash->md || EVP_DigestInit_ex(hash->md, EVP_sm3(), nullptr) != 1)
        return SAR_HASHOBJERR;
    if (ulIDLen != 0) {
        const std::size_t lead = kEccCoordinateField - kEccCoordinateSize;
        unsigned char z[kSm3DigestSize];
        if (!sm2ZValue(pPubKey->XCoordinate + lead, pPubKey->YCoordinate + lead, pucID, ulIDLen, z)
            || EVP_DigestUpdate(hash->md, z, sizeof z) != 1)
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
    if ((ulDataLen != 0 && EVP_DigestUpdate(hash->md, pbData, ulDataLen) != 1)
        || EVP_DigestFinal_ex(hash->md, pbHashData, nullptr) != 1)
        return SAR_HASHERR;
    hash->finished = true;
    EVP_MD_CTX_free(hash->md);
    hash->md = nullptr;
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
    EVP_PKEY *key = nullptr;
    ULONG rv = containerKey(hContainer, true, true, KeyKind::Sm2, &key);
    if (rv != SAR_OK)
        return rv;

    rv = SAR_FAIL;
    std::vector<unsigned char> der;
    std::size_t derLen = 0;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    // The SM2 signature of e itself: the digest already carries Z.
    if (!ctx || EVP_PKEY_sign_init(ctx) <= 0 || EVP_PKEY_sign(ctx, nullptr, &derLen, pbData, ulDataLen) <= 0)
        goto err;
    der.resize(derLen);
    if (EVP_PKEY_sign(ctx, der.data(), &derLen, pbData, ulDataLen) <= 0 || !sigToBlob(der.data(), derLen, pSignature))
        goto err;
    rv = SAR_OK;
err:
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return rv;
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
    ULONG rv = deviceOf(hDev, device);
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
    EVP_PKEY *key = sm2PublicKey(x + lead, y + lead);
    if (!key)
        return SAR_INVALIDPARAMERR;

    rv = SAR_FAIL;
    const std::vector<unsigned char> der = blobToSig(*pSignature);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
    if (!der.empty() && ctx && EVP_PKEY_verify_init(ctx) > 0
        && EVP_PKEY_verify(ctx, der.data(), der.size(), pbData, ulDataLen) == 1)
        rv = SAR_OK;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return rv;
} catch (...) {
    return exceptionResult();
}
SKF_CHECK_TYPE(SKF_ECCVerify);
