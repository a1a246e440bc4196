// Token access layer: one wrapper for each token library function that the pages use.

#include <cstring>

#include <QByteArray>
#include <QDebug>
#include <QTextCodec>

#include "skflibrary.h"
#include "utils.h"

namespace {

// Result of a wrapper whose library or object handle is missing.
constexpr ULONG kNoHandle = 1000;
// Result of a wrapper whose token function is missing.
constexpr ULONG kNoFunction = 3;

// A PIN, or the name given to OpenApplication, and its NUL.
constexpr int kPinBufferSize = Utils::kMaxPinLength + 1;
constexpr int kListBufferSize = 512;
constexpr int kContainerListBufferSize = 1024;
constexpr int kCertBufferSize = 2048;

// The steps every wrapper shares: a null library handle, or a failed check of its own (an
// object handle, a name), gives `refused`; a token function missing from the library gives
// `missing`; otherwise the result of `call` with the function.
template <typename Fn, typename Result, typename Call>
Result callChecked(
    void *lib, bool ownChecksPass, SkfLibrary::Function<Fn> function, Result refused, Result missing, Call call)
{
    if (!lib || !ownChecksPass)
        return refused;
    Fn *fn = SkfLibrary::resolve(lib, function);
    if (!fn)
        return missing;
    return call(fn);
}

// A PIN or name in its zero-filled 64-byte buffer: at most 63 bytes and a NUL. A PIN goes
// as Latin-1 bytes and must hold Latin-1 characters only (Qt would turn any other into "?",
// which every such PIN of the same length would then match); a name goes as UTF-8, the
// encoding it is read in. A text that cannot be held is refused with `refusal`.
enum class TextEncoding { Latin1Pin, Utf8Name };

struct TextBuffer {
    char bytes[kPinBufferSize];
    ULONG refusal = SAR_OK;

    TextBuffer(const QString &text, TextEncoding encoding)
    {
        memset(bytes, 0, sizeof bytes);
        if (encoding == TextEncoding::Latin1Pin && !Utils::isLatin1Text(text)) {
            refusal = SAR_PIN_INVALID;
            return;
        }
        QByteArray encoded = encoding == TextEncoding::Latin1Pin ? text.toLatin1() : text.toUtf8();
        if (encoded.size() < kPinBufferSize)
            memcpy(bytes, encoded.constData(), static_cast<size_t>(encoded.size()));
        else
            refusal = SAR_PIN_LEN_RANGE;
        explicit_bzero(encoded.data(), static_cast<size_t>(encoded.size()));
    }
    ~TextBuffer() { explicit_bzero(bytes, sizeof bytes); }
    TextBuffer(const TextBuffer &) = delete;
    TextBuffer &operator=(const TextBuffer &) = delete;

    bool fits() const { return refusal == SAR_OK; }
};

// The names of a list that the library filled, never reading past the buffer.
QList<QString> namesOf(char *buffer, ULONG reported, int capacity)
{
    const int length = reported < static_cast<ULONG>(capacity) ? static_cast<int>(reported) : capacity;
    return Utils::parseCharArray(buffer, length);
}

// The PIN result rule: 0 on success, else the retries left, kNoRetryLeft when none is left.
ULONG pinResult(ULONG rc, ULONG retries)
{
    if (rc == SAR_OK)
        return 0;
    return retries == 0 ? Utils::kNoRetryLeft : retries;
}

// A PIN wrapper: the checks, the PINs in their buffers (a second one only where the call
// takes two), one call with the retry count starting at 0, and the PIN result rule.
template <typename Fn, typename Call>
ULONG pinCall(
    void *lib, void *hApp, SkfLibrary::Function<Fn> function, const QString &pin, const QString &secondPin, Call call)
{
    return callChecked(lib, hApp != nullptr, function, kNoHandle, kNoFunction, [&](Fn *fn) {
        TextBuffer first(pin, TextEncoding::Latin1Pin), second(secondPin, TextEncoding::Latin1Pin);
        if (!first.fits())
            return first.refusal;
        if (!second.fits())
            return second.refusal;
        ULONG retries = 0;
        const ULONG rc = call(fn, first.bytes, second.bytes, &retries);
        return pinResult(rc, retries);
    });
}

// A name list that the library writes into a zero-filled buffer of Capacity bytes; empty
// unless the call succeeds.
template <int Capacity, typename Call>
QList<QString> nameList(Call call)
{
    char buffer[Capacity];
    memset(buffer, 0, sizeof buffer);
    ULONG length = sizeof buffer;
    if (call(buffer, &length) != SAR_OK)
        return {};
    return namesOf(buffer, length, Capacity);
}

// The label as the token keeps it: GBK bytes, at most the 32 bytes of the device
// information's label field. SAR_OK, or the refusal of a label that cannot be kept.
ULONG labelBytes(const QString &label, QByteArray *gbk)
{
    QTextCodec *codec = QTextCodec::codecForName("GBK");
    if (!codec || !codec->canEncode(label))
        return SAR_INVALIDPARAMERR;
    *gbk = codec->fromUnicode(label);
    return gbk->size() <= static_cast<int>(sizeof(Struct_DEVINFO::Label)) ? SAR_OK : SAR_NAMELENERR;
}

const QList<QString> kNoList;
void *const kNoObject = nullptr;
// For the wrappers that check nothing but the library handle.
constexpr bool kNoOwnChecks = true;

} // namespace

void *Utils::OpenDev(void *lib, const QString &name)
{
    return callChecked(lib, !name.isEmpty(), SKF_FUNCTION(SKF_ConnectDev), kNoObject, kNoObject, [&](auto *fn) {
        QByteArray utf8 = name.toUtf8();
        DEVHANDLE hDev = nullptr;
        fn(utf8.data(), &hDev);
        return hDev;
    });
}

QList<QString> Utils::EnmuDevList(void *lib)
{
    return callChecked(lib, kNoOwnChecks, SKF_FUNCTION(SKF_EnumDev), kNoList, kNoList, [](auto *fn) {
        const QList<QString> names =
            nameList<kListBufferSize>([&](char *buffer, ULONG *length) { return fn(TRUE, buffer, length); });
        const char *error = dlerror();
        qDebug().noquote() << QString::fromLocal8Bit(error ? error : "");
        return names;
    });
}

QList<QString> Utils::EnmuAppList(void *lib, void *hDev)
{
    return callChecked(lib, hDev != nullptr, SKF_FUNCTION(SKF_EnumApplication), kNoList, kNoList, [&](auto *fn) {
        return nameList<kListBufferSize>([&](char *buffer, ULONG *length) { return fn(hDev, buffer, length); });
    });
}

void *Utils::OpenApplication(void *lib, void *hDev, const QString &name)
{
    return callChecked(lib, !name.isEmpty(), SKF_FUNCTION(SKF_OpenApplication), kNoObject, kNoObject, [&](auto *fn) {
        TextBuffer appName(name, TextEncoding::Utf8Name);
        HAPPLICATION hApp = nullptr;
        if (!appName.fits() || fn(hDev, appName.bytes, &hApp) != SAR_OK)
            return kNoObject;
        return hApp;
    });
}

QList<QString> Utils::EnmuContainer(void *lib, void *hApp)
{
    return callChecked(lib, kNoOwnChecks, SKF_FUNCTION(SKF_EnumContainer), kNoList, kNoList, [&](auto *fn) {
        return nameList<kContainerListBufferSize>(
            [&](char *buffer, ULONG *length) { return fn(hApp, buffer, length); });
    });
}

void *Utils::OpenContainer(void *lib, void *hApp, QString name)
{
    return callChecked(lib, hApp != nullptr, SKF_FUNCTION(SKF_OpenContainer), kNoObject, kNoObject, [&](auto *fn) {
        QByteArray utf8 = name.toUtf8();
        HCONTAINER hCon = nullptr;
        fn(hApp, utf8.data(), &hCon);
        return hCon;
    });
}

QList<QString> Utils::ExportCertificate(void *lib, void *hCon, bool sign)
{
    return callChecked(
        lib, hCon != nullptr, SKF_FUNCTION(SKF_ExportCertificate), kNoList, kNoList, [&](auto *fn) -> QList<QString> {
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
        });
}

ULONG Utils::CloseContainer(void *lib, void *hCon)
{
    return callChecked(lib, hCon != nullptr, SKF_FUNCTION(SKF_CloseContainer), kNoHandle, kNoFunction,
        [&](auto *fn) { return fn(hCon); });
}

ULONG Utils::CloseApplication(void *lib, void *hApp)
{
    return callChecked(lib, hApp != nullptr, SKF_FUNCTION(SKF_CloseApplication), ULONG(1), kNoFunction,
        [&](auto *fn) { return fn(hApp); });
}

ULONG Utils::VerifyPin(void *lib, void *hApp, const QString &pin)
{
    return pinCall(lib, hApp, SKF_FUNCTION(SKF_VerifyPIN), pin, QString(),
        [&](auto *fn, char *userPin, char *, ULONG *retries) { return fn(hApp, USER_TYPE, userPin, retries); });
}

ULONG Utils::VerifyAdminPin(void *lib, void *hApp, const QString &pin)
{
    return pinCall(lib, hApp, SKF_FUNCTION(SKF_VerifyPIN), pin, QString(),
        [&](auto *fn, char *adminPin, char *, ULONG *retries) { return fn(hApp, ADMIN_TYPE, adminPin, retries); });
}

ULONG Utils::ChangePin(void *lib, void *hApp, const QString &oldPin, const QString &newPin)
{
    return pinCall(lib, hApp, SKF_FUNCTION(SKF_ChangePIN), oldPin, newPin,
        [&](auto *fn, char *oldBytes, char *newBytes, ULONG *retries) {
            return fn(hApp, USER_TYPE, oldBytes, newBytes, retries);
        });
}

ULONG Utils::UnblockPIN(void *lib, void *hApp, const QString &adminPin, const QString &newUserPin)
{
    return pinCall(lib, hApp, SKF_FUNCTION(SKF_UnblockPIN), adminPin, newUserPin,
        [&](auto *fn, char *adminBytes, char *userBytes, ULONG *retries) {
            return fn(hApp, adminBytes, userBytes, retries);
        });
}

Struct_DEVINFO Utils::GetDevInfo(void *lib, void *hDev)
{
    Struct_DEVINFO zero;
    memset(&zero, 0, sizeof zero);
    return callChecked(lib, hDev != nullptr, SKF_FUNCTION(SKF_GetDevInfo), zero, zero, [&](auto *fn) {
        Struct_DEVINFO info = zero;
        fn(hDev, &info);
        return info;
    });
}

ULONG Utils::GetContainerType(void *lib, void *hCon)
{
    return callChecked(lib, hCon != nullptr, SKF_FUNCTION(SKF_GetContainerType), kNoHandle, kNoFunction, [&](auto *fn) {
        ULONG type = 0;
        const ULONG rc = fn(hCon, &type);
        return rc == SAR_OK ? type : rc;
    });
}

ULONG Utils::SetLabel(void *lib, void *hDev, QString label)
{
    return callChecked(lib, kNoOwnChecks, SKF_FUNCTION(SKF_SetLabel), kNoHandle, ULONG(1), [&](auto *fn) {
        QByteArray gbk;
        const ULONG refusal = labelBytes(label, &gbk);
        if (refusal != SAR_OK)
            return refusal;
        return fn(hDev, gbk.data());
    });
}

ULONG Utils::DeleteApplication(void *lib, void *hDev, QString name)
{
    // The library handle is not checked: the only caller has just used it. dlsym on a
    // null handle would search the global scope, so it still must not be null here.
    return callChecked(lib, kNoOwnChecks, SKF_FUNCTION(SKF_DeleteApplication), ULONG(1), ULONG(1), [&](auto *fn) {
        QByteArray utf8 = name.toUtf8();
        return fn(hDev, utf8.data());
    });
}

void *Utils::CreateApplication(void *lib, void *hDev, QString appName, QString adminPin, QString adminRetries,
                               QString userPin, QString userRetries)
{
    // As for DeleteApplication, a null library handle is refused only so that dlsym never
    // searches the global scope.
    return callChecked(
        lib, kNoOwnChecks, SKF_FUNCTION(SKF_CreateApplication), kNoObject, kNoObject, [&](auto *fn) {
            QByteArray name = appName.toUtf8();
            TextBuffer adminBuffer(adminPin, TextEncoding::Latin1Pin), userBuffer(userPin, TextEncoding::Latin1Pin);
            if (!adminBuffer.fits() || !userBuffer.fits())
                return kNoObject;
            // Decimal texts; a text that is no number gives 0, and the sign is kept in the widening.
            const ULONG adminCount = static_cast<ULONG>(static_cast<qint64>(adminRetries.toInt(nullptr, 10)));
            const ULONG userCount = static_cast<ULONG>(static_cast<qint64>(userRetries.toInt(nullptr, 10)));
            HAPPLICATION hApp = nullptr;
            if (fn(hDev, name.data(), adminBuffer.bytes, adminCount, userBuffer.bytes, userCount, SECURE_ADM_ACCOUNT,
                   &hApp) != SAR_OK)
                return kNoObject;
            return hApp;
        });
}

bool Utils::isLatin1Text(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xFF)
            return false;
    }
    return true;
}

bool Utils::fitsPinLength(const QString &pin)
{
    return pin.size() <= kMaxPinLength;
}

bool Utils::isTokenPin(const QString &pin)
{
    return isLatin1Text(pin) && fitsPinLength(pin);
}

bool Utils::isTokenLabel(const QString &label)
{
    QByteArray gbk;
    return labelBytes(label, &gbk) == SAR_OK;
}
