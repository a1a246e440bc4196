// Token function tests: fixed sequences of cryptographic token calls, each reported as one
// result text "code#message" (or "0#" and the bytes the token produced).
#include "skflibrary.h"
#include "utils.h"

#include <QDebug>
#include <QGlobalStatic>
#include <QtGlobal>

#include <cstdint>
#include <cstring>

namespace {

// What the last test reported, and the signature the last ECC signing test made.
Q_GLOBAL_STATIC(QString, result)
Q_GLOBAL_STATIC(Struct_ECCSIGNATUREBLOB, pSignature)

const ULONG kOutputSize = 128;      // cipher text, signature and digest buffers
const int kRsaInputSize = 64;       // data to sign, zero-padded
const ULONG kEccExportBufferSize = 256;
const ULONG kSymmKeySize = 32;
const char kCipherIv[] = "8405172639051824";
// GM/T 0009 default signer ID.
const char kSignerId[] = "1234567812345678";
const ULONG kSignerIdLen = 16;

// Exported ECC public key: a 4-byte bit length, then X and Y in 64-byte fields.
const int kExportBitLenSize = 4;
const int kEccCoordinateField = 64;

QString finish(const QString &text)
{
    result->clear();
    result->append(text);
    return *result;
}

QString refusal(const char *code, const QString &message)
{
    return finish(QLatin1String(code) + message);
}

// A failed token call: its result, "#", the message and the result once more.
QString failure(ULONG rv, const QString &message)
{
    const QString code = QString::number(static_cast<qulonglong>(rv));
    return finish(code + QLatin1Char('#') + message + code);
}

// Bytes as text, one Latin-1 character per byte, zero bytes included.
QString bytesText(const BYTE *bytes, ULONG count)
{
    return QString::fromLatin1(reinterpret_cast<const char *>(bytes), static_cast<int>(count));
}

// A length the token reports is never taken beyond the buffer it wrote into.
ULONG reported(ULONG length, ULONG capacity)
{
    return length < capacity ? length : capacity;
}

BLOCKCIPHERPARAM cipherParam()
{
    BLOCKCIPHERPARAM param;
    std::memset(&param, 0, sizeof param);
    std::memcpy(param.IV, kCipherIv, 16);
    param.IVLen = 16;
    param.PaddingType = 1;
    param.FeedBitLen = 32;
    return param;
}

struct CipherMessages {
    QString invalidInput;
    QString functionMissing;
    QString deviceNotConnected;
    QString setKeyFailed;
    QString initFailed;
    QString updateFailed;
};

// The common run of the encryption and decryption tests; initFn/updateFn pick the direction.
template <typename InitFn, typename UpdateFn>
QString runCipherTest(void *skfHandle, const QString &devName, const QString &data, SkfLibrary::Function<InitFn> initFn,
    SkfLibrary::Function<UpdateFn> updateFn, const CipherMessages &messages)
{
    if (!skfHandle || devName.isEmpty() || data.isEmpty())
        return refusal("-3#", messages.invalidInput);

    auto setSymmKey = SkfLibrary::resolve(skfHandle, SKF_FUNCTION(SKF_SetSymmKey));
    auto init = SkfLibrary::resolve(skfHandle, initFn);
    auto update = SkfLibrary::resolve(skfHandle, updateFn);
    if (!setSymmKey || !init || !update)
        return refusal("-2#", messages.functionMissing);

    void *hDev = Utils::OpenDev(skfHandle, devName);
    if (!hDev)
        return refusal("-4#", messages.deviceNotConnected);

    BYTE key[kSymmKeySize] = {0};
    HANDLE hKey = nullptr;
    ULONG rv = setSymmKey(hDev, key, SGD_SM1_ECB, &hKey);
    if (rv != SAR_OK)
        return failure(rv, messages.setKeyFailed);

    rv = init(hKey, cipherParam());
    if (rv != SAR_OK)
        return failure(rv, messages.initFailed);

    QByteArray input = data.toLatin1();
    BYTE output[kOutputSize] = {0};
    ULONG outputLen = kOutputSize;
    rv = update(hKey, reinterpret_cast<BYTE *>(input.data()), static_cast<ULONG>(input.size()), output, &outputLen);
    if (rv != SAR_OK)
        return failure(rv, messages.updateFailed);

    return finish(QStringLiteral("0#") + bytesText(output, reported(outputLen, kOutputSize)));
}

struct EccMessages {
    QString invalidInput;
    QString functionMissing;
    QString exportFailed;
    QString lastCallFailed;
};

// The common run of the ECC signing and verification tests: the container's signing key is
// exported and handed to the SM3 digest with the signer ID, the data is hashed, and the last
// call (lastFn) gets the export, the digest and its length. On success the
// text is success().
template <typename LastFn, typename LastCall, typename Success>
QString runEccTest(void *skfHandle, void *hDev, void *hContainer, const QString &data,
    SkfLibrary::Function<LastFn> lastFn, const EccMessages &messages, LastCall lastCall, Success success)
{
    if (!skfHandle || !hContainer || data.isEmpty())
        return refusal("-3#", messages.invalidInput);

    auto exportPublicKey = SkfLibrary::resolve(skfHandle, SKF_FUNCTION(SKF_ExportPublicKey));
    auto digestInit = SkfLibrary::resolve(skfHandle, SKF_FUNCTION(SKF_DigestInit));
    auto digest = SkfLibrary::resolve(skfHandle, SKF_FUNCTION(SKF_Digest));
    auto last = SkfLibrary::resolve(skfHandle, lastFn);
    if (!exportPublicKey || !digestInit || !digest || !last)
        return refusal("-2#", messages.functionMissing);

    alignas(ECCPUBLICKEYBLOB) BYTE exported[kEccExportBufferSize] = {0};
    ULONG exportedLen = kEccExportBufferSize;
    ULONG rv = exportPublicKey(hContainer, TRUE, exported, &exportedLen);
    if (rv != SAR_OK)
        return failure(rv, messages.exportFailed);

    ECCPUBLICKEYBLOB pubKey;
    std::memset(&pubKey, 0, sizeof pubKey);
    std::uint32_t bitLen = 0;
    std::memcpy(&bitLen, exported, kExportBitLenSize);
    pubKey.BitLen = bitLen;
    std::memcpy(pubKey.XCoordinate, exported + kExportBitLenSize, kEccCoordinateField);
    std::memcpy(pubKey.YCoordinate, exported + kExportBitLenSize + kEccCoordinateField, kEccCoordinateField);

    BYTE signerId[kSignerIdLen];
    std::memcpy(signerId, kSignerId, kSignerIdLen);
    HANDLE hHash = nullptr;
    rv = digestInit(hDev, SGD_SM3, &pubKey, signerId, kSignerIdLen, &hHash);
    if (rv != SAR_OK)
        return failure(rv, QObject::tr("ECC数据验签失败，杂凑初始化返回的错误码："));

    QByteArray input = data.toLatin1();
    BYTE hash[kOutputSize] = {0};
    ULONG hashLen = kOutputSize;
    rv = digest(hHash, reinterpret_cast<BYTE *>(input.data()), static_cast<ULONG>(input.size()), hash, &hashLen);
    if (rv != SAR_OK)
        return failure(rv, QObject::tr("ECC数据签名失败，杂凑返回的错误码："));

    rv = lastCall(last, exported, hash, reported(hashLen, kOutputSize));
    if (rv != SAR_OK)
        return failure(rv, messages.lastCallFailed);
    return finish(success());
}

} // namespace

QString Utils::EncryptData(void *skfHandle, QString devName, QString data)
{
    const CipherMessages messages = {
        QObject::tr("输入参数信息无效，不能检测数据加密功能"),
        QObject::tr("无法解析库函数，不能检测数据加密功能"),
        QObject::tr("无法连接设备，不能检测数据加密功能"),
        QObject::tr("无法设置密钥，不能检测数据加密功能，返回的错误码："),
        QObject::tr("无法完成数据加密，加密初始化失败，返回错误码："),
        QObject::tr("无法完成数据加密，加密更新失败，返回错误码："),
    };
    return runCipherTest(skfHandle, devName, data, SKF_FUNCTION(SKF_EncryptInit), SKF_FUNCTION(SKF_Encrypt), messages);
}

QString Utils::DecryptData(void *skfHandle, QString devName, QString dData)
{
    qDebug() << "Get skfHandle:" << skfHandle;
    qDebug() << "Get devName:" << devName;
    qDebug() << "Get dData:" << dData;
    const CipherMessages messages = {
        QObject::tr("输入参数信息无效，不能检测数据解密功能"),
        QObject::tr("无法解析库函数，不能检测数据解密功能"),
        QObject::tr("无法连接设备，不能检测数据解密功能"),
        QObject::tr("无法设置密钥，不能检测数据解密功能，返回的错误码："),
        QObject::tr("无法完成数据解密，解密初始化失败，返回错误码："),
        QObject::tr("无法完成数据解密，解密更新失败，返回错误码："),
    };
    return runCipherTest(skfHandle, devName, dData, SKF_FUNCTION(SKF_DecryptInit), SKF_FUNCTION(SKF_Decrypt), messages);
}

QString Utils::RsaSignData(void *skfHandle, void *hContainer, QString data)
{
    // Data longer than the 64-byte input is refused rather than cut: a cut text would be
    // signed as if it were the caller's data.
    const QByteArray local = data.toLocal8Bit();
    if (!skfHandle || !hContainer || data.isEmpty() || local.size() > kRsaInputSize)
        return refusal("-3#", QObject::tr("输入参数信息无效，不能检测数据RSA签名功能"));

    auto rsaSignData = SkfLibrary::resolve(skfHandle, SKF_FUNCTION(SKF_RSASignData));
    if (!rsaSignData)
        return refusal("-2#", QObject::tr("无法解析库函数，不能检测数据RSA签名功能"));

    BYTE input[kRsaInputSize] = {0};
    std::memcpy(input, local.constData(), static_cast<size_t>(local.size()));
    BYTE signature[kOutputSize] = {0};
    ULONG signatureLen = kOutputSize;
    const ULONG rv = rsaSignData(hContainer, input, static_cast<ULONG>(local.size()), signature, &signatureLen);
    if (rv != SAR_OK)
        return failure(rv, QObject::tr("RSA数据签名失败，返回的错误码："));

    return finish(QStringLiteral("0#") + bytesText(signature, reported(signatureLen, kOutputSize)));
}

QString Utils::RsaVerifyData(void *skfHandle, void *handle, QString data, QString signature)
{
    if (!skfHandle || !handle || signature.isEmpty())
        return refusal("-3#", QObject::tr("输入参数信息无效，不能检测数据RSA验签功能"));

    auto exportPublicKey = SkfLibrary::resolve(skfHandle, SKF_FUNCTION(SKF_ExportPublicKey));
    auto rsaVerify = SkfLibrary::resolve(skfHandle, SKF_FUNCTION(SKF_RSAVerify));
    if (!exportPublicKey || !rsaVerify)
        return refusal("-2#", QObject::tr("无法解析库函数，不能检测数据RSA验签功能"));

    RSAPUBLICKEYBLOB pubKey;
    std::memset(&pubKey, 0, sizeof pubKey);
    ULONG pubKeyLen = sizeof pubKey;
    ULONG rv = exportPublicKey(handle, TRUE, reinterpret_cast<BYTE *>(&pubKey), &pubKeyLen);
    if (rv != SAR_OK)
        return failure(rv, QObject::tr("RSA数据签名失败，导出公钥返回的错误码："));

    QByteArray input = data.toLatin1();
    QByteArray sig = signature.toLatin1();
    rv = rsaVerify(handle, &pubKey, reinterpret_cast<BYTE *>(input.data()), static_cast<ULONG>(input.size()),
                   reinterpret_cast<BYTE *>(sig.data()), static_cast<ULONG>(sig.size()));
    if (rv != SAR_OK)
        return failure(rv, QObject::tr("RSA数据签名失败，返回的错误码："));

    return finish(QStringLiteral("0"));
}

QString Utils::EccSignData(void *skfHandle, void *hDev, void *hContainer, QString data)
{
    const EccMessages messages = {
        QObject::tr("输入参数信息无效，不能检测数据ECC签名功能"),
        QObject::tr("无法解析库函数，不能检测数据ECC签名功能"),
        QObject::tr("ECC数据签名失败，导出公钥返回的错误码："),
        QObject::tr("ECC数据签名失败，返回的错误码："),
    };
    return runEccTest(
        skfHandle, hDev, hContainer, data, SKF_FUNCTION(SKF_ECCSignData), messages,
        [&](auto *sign, BYTE *, BYTE *digest, ULONG digestLen) {
            return sign(hContainer, digest, digestLen, pSignature);
        },
        [] {
            return QStringLiteral("0#") + bytesText(pSignature->r, sizeof pSignature->r) + QLatin1Char('#')
                   + bytesText(pSignature->s, sizeof pSignature->s);
        });
}

QString Utils::EccVerifyData(void *skfHandle, void *hDev, void *hContainer, QString data)
{
    const EccMessages messages = {
        QObject::tr("输入参数信息无效，不能检测数据ECC验签功能"),
        QObject::tr("无法解析库函数，不能检测数据ECC验签功能"),
        QObject::tr("ECC数据验签失败，导出公钥返回的错误码："),
        QObject::tr("ECC数据验签失败，返回的错误码："),
    };
    return runEccTest(
        skfHandle, hDev, hContainer, data, SKF_FUNCTION(SKF_ECCVerify), messages,
        [&](auto *verify, BYTE *exported, BYTE *digest, ULONG digestLen) {
            // The token takes back the key in the form it exported it.
            return verify(hDev, reinterpret_cast<ECCPUBLICKEYBLOB *>(exported), digest, digestLen, pSignature);
        },
        [] { return QStringLiteral("0"); });
}
