// Token access layer: one wrapper for each token library function that the pages use.

#include <dlfcn.h>

#include <cstring>

#include <QByteArray>
#include <QDebug>

#include "utils.h"

namespace {

// Result of a wrapper whose library or object handle is missing.
constexpr ULONG kNoHandle = 1000;
// Result of a wrapper whose token function is missing.
constexpr ULONG kNoFunction = 3;
// PIN wrappers: a refusal with no retry left.
constexpr ULONG kNoRetryLeft = 999;

constexpr int kPinBufferSize = 64;
constexpr int kListBufferSize = 512;
constexpr int kContainerListBufferSize = 1024;
constexpr int kCertBufferSize = 2048;

template <typename Fn>
Fn *resolve(void *lib, const char *name)
{
    return reinterpret_cast<Fn *>(dlsym(lib, name));
}

// A PIN or name in its zero-filled 64-byte buffer: at most 63 Latin-1 bytes and a NUL.
// A longer text does not fit and is refused.
struct PinBuffer {
    char bytes[kPinBufferSize];
    bool fits;

    explicit PinBuffer(const QString &text)
    {
        memset(bytes, 0, sizeof bytes);
        QByteArray latin1 = text.toLatin1();
        fits = latin1.size() < kPinBufferSize;
        if (fits)
            memcpy(bytes, latin1.constData(), static_cast<size_t>(latin1.size()));
        explicit_bzero(latin1.data(), static_cast<size_t>(latin1.size()));
    }
    ~PinBuffer() { explicit_bzero(bytes, sizeof bytes); }
    PinBuffer(const PinBuffer &) = delete;
    PinBuffer &operator=(const PinBuffer &) = delete;
};

// The names of a list that the library filled, never reading past the buffer.
QList<QString> namesOf(char *buffer, ULONG reported, int capacity)
{
    const int length = reported < static_cast<ULONG>(capacity) ? static_cast<int>(reported) : capacity;
    return Utils::parseCharArray(buffer, length);
}

// The PIN result rule: 0 on success, else the retries left, 999 when none is left.
ULONG pinResult(ULONG rc, ULONG retries)
{
    if (rc == SAR_OK)
        return 0;
    return retries == 0 ? kNoRetryLeft : retries;
}

} // namespace

void *Utils::OpenDev(void *lib, const QString &name)
{
    if (name.isEmpty() || !lib)
        return nullptr;
    auto fn = resolve<SKF_ConnectDev_Fn>(lib, "SKF_ConnectDev");
    if (!fn)
        return nullptr;
    QByteArray latin1 = name.toLatin1();
    DEVHANDLE hDev = nullptr;
    fn(latin1.data(), &hDev);
    return hDev;
}

QList<QString> Utils::EnmuDevList(void *lib)
{
    if (!lib)
        return {};
    auto fn = resolve<SKF_EnumDev_Fn>(lib, "SKF_EnumDev");
    if (!fn)
        return {};
    char buffer[kListBufferSize];
    memset(buffer, 0, sizeof buffer);
    ULONG length = sizeof buffer;
    const ULONG rc = fn(TRUE, buffer, &length);
    QList<QString> names;
    if (rc == SAR_OK)
        names = namesOf(buffer, length, kListBufferSize);
    const char *error = dlerror();
    qDebug().noquote() << QString::fromLocal8Bit(error ? error : "");
    return names;
}

QList<QString> Utils::EnmuAppList(void *lib, void *hDev)
{
    if (!lib || !hDev)
        return {};
    auto fn = resolve<SKF_EnumApplication_Fn>(lib, "SKF_EnumApplication");
    if (!fn)
        return {};
    char buffer[kListBufferSize];
    memset(buffer, 0, sizeof buffer);
    ULONG length = sizeof buffer;
    if (fn(hDev, buffer, &length) != SAR_OK)
        return {};
    return namesOf(buffer, length, kListBufferSize);
}

void *Utils::OpenApplication(void *lib, void *hDev, const QString &name)
{
    if (!lib || name.isEmpty())
        return nullptr;
    auto fn = resolve<SKF_OpenApplication_Fn>(lib, "SKF_OpenApplication");
    if (!fn)
        return nullptr;
    PinBuffer appName(name);
    if (!appName.fits)
        return nullptr;
    HAPPLICATION hApp = nullptr;
    if (fn(hDev, appName.bytes, &hApp) != SAR_OK)
        return nullptr;
    return hApp;
}

QList<QString> Utils::EnmuContainer(void *lib, void *hApp)
{
    if (!lib)
        return {};
    auto fn = resolve<SKF_EnumContainer_Fn>(lib, "SKF_EnumContainer");
    if (!fn)
        return {};
    char buffer[kContainerListBufferSize];
    memset(buffer, 0, sizeof buffer);
    ULONG length = sizeof buffer;
    if (fn(hApp, buffer, &length) != SAR_OK)
        return {};
    return namesOf(buffer, length, kContainerListBufferSize);
}

void *Utils::OpenContainer(void *lib, void *hApp, QString name)
{
    if (!lib || !hApp)
        return nullptr;
    auto fn = resolve<SKF_OpenContainer_Fn>(lib, "SKF_OpenContainer");
    if (!fn)
        return nullptr;
    QByteArray latin1 = name.toLatin1();
    HCONTAINER hCon = nullptr;
    fn(hApp, latin1.data(), &hCon);
    return hCon;
}

QList<QString> Utils::ExportCertificate(void *lib, void *hCon, bool sign)
{
    if (!lib || !hCon)
        return {};
    auto fn = resolve<SKF_ExportCertificate_Fn>(lib, "SKF_ExportCertificate");
    if (!fn)
        return {};
    BYTE buffer[kCertBufferSize];
    memset(buffer, 0, sizeof buffer);
    ULONG length = sizeof buffer;
    if (fn(hCon, sign ? TRUE : FALSE, buffer, &length) != SAR_OK)
        return {};
    // A library that reports more than it could have written gives nothing.
    if (length > sizeof buffer)
        return {};
    const QByteArray der(reinterpret_cast<const char *>(buffer), static_cast<int>(length));
    return {QString::fromLatin1(der.toBase64()), ParseCert(buffer, length, sign)};
}

ULONG Utils::CloseContainer(void *lib, void *hCon)
{
    if (!lib || !hCon)
        return kNoHandle;
    auto fn = resolve<SKF_CloseContainer_Fn>(lib, "SKF_CloseContainer");
    if (!fn)
        return kNoFunction;
    return fn(hCon);
}

ULONG Utils::CloseApplication(void *lib, void *hApp)
{
    if (!lib || !hApp)
        return 1;
    auto fn = resolve<SKF_CloseApplication_Fn>(lib, "SKF_CloseApplication");
    if (!fn)
        return kNoFunction;
    return fn(hApp);
}

static ULONG verifyPinOfType(void *lib, void *hApp, ULONG type, const QString &pin)
{
    if (!lib || !hApp)
        return kNoHandle;
    auto fn = resolve<SKF_VerifyPIN_Fn>(lib, "SKF_VerifyPIN");
    if (!fn)
        return kNoFunction;
    PinBuffer buffer(pin);
    if (!buffer.fits)
        return SAR_PIN_LEN_RANGE;
    ULONG retries = 0;
    const ULONG rc = fn(hApp, type, buffer.bytes, &retries);
    return pinResult(rc, retries);
}

ULONG Utils::VerifyPin(void *lib, void *hApp, const QString &pin)
{
    return verifyPinOfType(lib, hApp, USER_TYPE, pin);
}

ULONG Utils::VerifyAdminPin(void *lib, void *hApp, const QString &pin)
{
    return verifyPinOfType(lib, hApp, ADMIN_TYPE, pin);
}

ULONG Utils::ChangePin(void *lib, void *hApp, const QString &oldPin, const QString &newPin)
{
    if (!lib || !hApp)
        return kNoHandle;
    auto fn = resolve<SKF_ChangePIN_Fn>(lib, "SKF_ChangePIN");
    if (!fn)
        return kNoFunction;
    PinBuffer oldBuffer(oldPin), newBuffer(newPin);
    if (!oldBuffer.fits || !newBuffer.fits)
        return SAR_PIN_LEN_RANGE;
    ULONG retries = 0;
    const ULONG rc = fn(hApp, USER_TYPE, oldBuffer.bytes, newBuffer.bytes, &retries);
    return pinResult(rc, retries);
}

ULONG Utils::UnblockPIN(void *lib, void *hApp, const QString &adminPin, const QString &newUserPin)
{
    if (!lib || !hApp)
        return kNoHandle;
    auto fn = resolve<SKF_UnblockPIN_Fn>(lib, "SKF_UnblockPIN");
    if (!fn)
        return kNoFunction;
    PinBuffer adminBuffer(adminPin), userBuffer(newUserPin);
    if (!adminBuffer.fits || !userBuffer.fits)
        return SAR_PIN_LEN_RANGE;
    ULONG retries = 0;
    const ULONG rc = fn(hApp, adminBuffer.bytes, userBuffer.bytes, &retries);
    return pinResult(rc, retries);
}

Struct_DEVINFO Utils::GetDevInfo(void *lib, void *hDev)
{
    Struct_DEVINFO info;
    memset(&info, 0, sizeof info);
    if (!lib || !hDev)
        return info;
    auto fn = resolve<SKF_GetDevInfo_Fn>(lib, "SKF_GetDevInfo");
    if (!fn)
        return info;
    fn(hDev, &info);
    return info;
}

ULONG Utils::GetContainerType(void *lib, void *hCon)
{
    if (!lib || !hCon)
        return kNoHandle;
    auto fn = resolve<SKF_GetContainerType_Fn>(lib, "SKF_GetContainerType");
    if (!fn)
        return kNoFunction;
    ULONG type = 0;
    const ULONG rc = fn(hCon, &type);
    return rc == SAR_OK ? type : rc;
}

ULONG Utils::SetLabel(void *lib, void *hDev, QString label)
{
    if (!lib)
        return kNoHandle;
    auto fn = resolve<SKF_SetLabel_Fn>(lib, "SKF_SetLabel");
    if (!fn)
        return 1;
    QByteArray latin1 = label.toLatin1();
    return fn(hDev, latin1.data());
}

ULONG Utils::DeleteApplication(void *lib, void *hDev, QString name)
{
    // The library handle is not checked: the only caller has just used it. dlsym on a
    // null handle would search the global scope, so it still must not be null here.
    if (!lib)
        return 1;
    auto fn = resolve<SKF_DeleteApplication_Fn>(lib, "SKF_DeleteApplication");
    if (!fn)
        return 1;
    QByteArray latin1 = name.toLatin1();
    return fn(hDev, latin1.data());
}

void *Utils::CreateApplication(void *lib, void *hDev, QString appName, QString adminPin, QString adminRetries,
                               QString userPin, QString userRetries)
{
    if (!lib)
        return nullptr;
    auto fn = resolve<SKF_CreateApplication_Fn>(lib, "SKF_CreateApplication");
    if (!fn)
        return nullptr;
    QByteArray name = appName.toLatin1();
    PinBuffer adminBuffer(adminPin), userBuffer(userPin);
    if (!adminBuffer.fits || !userBuffer.fits)
        return nullptr;
    // Decimal texts; a text that is no number gives 0, and the sign is kept in the widening.
    const ULONG adminCount = static_cast<ULONG>(static_cast<qint64>(adminRetries.toInt(nullptr, 10)));
    const ULONG userCount = static_cast<ULONG>(static_cast<qint64>(userRetries.toInt(nullptr, 10)));
    HAPPLICATION hApp = nullptr;
    if (fn(hDev, name.data(), adminBuffer.bytes, adminCount, userBuffer.bytes, userCount, SECURE_ADM_ACCOUNT,
           &hApp) != SAR_OK)
        return nullptr;
    return hApp;
}
