#ifndef UTILS_H
#define UTILS_H

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "skfapi.h"

class QWidget;

// The tool's shared functions. Never instantiated: every member is static.
class Utils : public QObject
{
    Q_OBJECT

public:
    explicit Utils(QObject *parent = nullptr);
    ~Utils() override;

    // --- Text and message helpers (utils.cpp) ---
    // Whole file decoded as GBK; empty when it cannot be read.
    static QString readfile(const QString &path);
    // NUL-terminated bytes decoded as GBK / UTF-8; empty for null.
    static QString convertCharToGBKStr(const char *bytes);
    static QString convertCharToUTF8Str(const char *bytes);
    // A program literal (UTF-8) as text; the pages' name for convertCharToUTF8Str.
    static QString text(const char *utf8) { return convertCharToUTF8Str(utf8); }
    // Splits a NUL-separated name list of at most `length` bytes; stops at the first empty name.
    static QList<QString> parseCharArray(char *list, int length);
    // Modal warning box "温馨提示：" with the single button "确定".
    static void showMsgTip(const QString &text);
    // The pages' tip for a PIN that holds a character the token cannot take (outside Latin-1).
    static QString pinCharsetTip();
    // The pages' tip for a PIN longer than the token takes (kMaxPinLength).
    static QString pinLengthTip();
    // The retries of a PIN wrapper's result as the pages show them: "0" for kNoRetryLeft.
    static QString retriesText(ULONG result);
    // The pages' tip for a current PIN that the token refused (result of a PIN wrapper):
    // "原PIN码校验失败,剩余" + retriesText(result) + "次机会，无法修改PIN码！".
    static QString pinRefusedTip(ULONG result);
    // The text between the first and the second ':' (or the line's end, which it keeps) of
    // the first line starting with SKFLIBNAME (kind 0) or OESLIBNAME (kind 1); null when no
    // line matches or the matching line holds no ':'.
    static QString getLibName(int kind, const QString &path);
    static QString showPwdDialog(QWidget *parent);

    // --- Token access layer (utils_token.cpp) ---
    // Each wrapper looks its token function up by name in the token library `lib` at every
    // call. Results: the library's code, 1000 for a null library or object handle (1 from
    // CloseApplication), 3 for a missing function (1 from SetLabel and DeleteApplication);
    // handles are null and lists empty on any failure. Names go to the library as UTF-8
    // bytes, the encoding the name lists are read in, so a name read from the token goes
    // back as the bytes it came in; the label goes as GBK (see isTokenLabel). PINs go as
    // Latin-1 bytes. A PIN, or the name given to OpenApplication, has room for 63 bytes.
    // Text that cannot be sent as it is typed is refused without calling the library: a
    // PIN holding a character outside Latin-1 (SAR_PIN_INVALID from the PIN wrappers), a
    // longer PIN or name (SAR_PIN_LEN_RANGE), a label that isTokenLabel refuses
    // (SAR_INVALIDPARAMERR: no GBK form, SAR_NAMELENERR: too long); the handle wrappers
    // then give null.
    static void *OpenDev(void *lib, const QString &name);
    static QList<QString> EnmuDevList(void *lib);
    static QList<QString> EnmuAppList(void *lib, void *hDev);
    static void *OpenApplication(void *lib, void *hDev, const QString &name);
    static QList<QString> EnmuContainer(void *lib, void *hApp);
    static void *OpenContainer(void *lib, void *hApp, QString name);
    // Two entries on success: the certificate as Base64 text and its summary (ParseCert).
    static QList<QString> ExportCertificate(void *lib, void *hCon, bool sign);
    static ULONG CloseContainer(void *lib, void *hCon);
    static ULONG CloseApplication(void *lib, void *hApp);
    // PIN wrappers: 0 when accepted; after a refusal the retries left, kNoRetryLeft when
    // none is left.
    static constexpr ULONG kNoRetryLeft = 999;
    static ULONG VerifyPin(void *lib, void *hApp, const QString &pin);
    static ULONG VerifyAdminPin(void *lib, void *hApp, const QString &pin);
    static ULONG ChangePin(void *lib, void *hApp, const QString &oldPin, const QString &newPin);
    static ULONG UnblockPIN(void *lib, void *hApp, const QString &adminPin, const QString &newUserPin);
    // All zero when the library or the device handle is missing.
    static Struct_DEVINFO GetDevInfo(void *lib, void *hDev);
    static ULONG GetContainerType(void *lib, void *hCon);
    static ULONG SetLabel(void *lib, void *hDev, QString label);
    static ULONG DeleteApplication(void *lib, void *hDev, QString name);
    // Retry counts are decimal texts (not a number: 0).
    static void *CreateApplication(void *lib, void *hDev, QString appName, QString adminPin,
                                   QString adminRetries, QString userPin, QString userRetries);
    // True when every character of the text is a Latin-1 character, as a PIN must be.
    static bool isLatin1Text(const QString &text);
    // The longest PIN the token takes: 63 Latin-1 characters, one byte each, before the
    // NUL of its 64-byte buffer.
    static constexpr int kMaxPinLength = 63;
    // True when the PIN holds at most kMaxPinLength characters.
    static bool fitsPinLength(const QString &pin);
    // True when the PIN wrappers send the PIN as it is typed (isLatin1Text and
    // fitsPinLength); any other PIN they refuse with a code of their own, which is no
    // retry count.
    static bool isTokenPin(const QString &pin);
    // True when the label has a GBK form of at most the 32 bytes of the device
    // information's label field: what the token can keep and the key page reads back.
    static bool isTokenLabel(const QString &label);

    // --- Certificate summaries (utils_cert.cpp) ---
    // The fields that the extractor's `type` selects.
    enum CertField {
        CertPublicKey = 1, // public key bits
        CertIssuer = 2, // issuer text
        CertValidity = 3, // notBefore into out, notAfter into out2
        CertToBeSigned = 4, // to-be-signed DER into out, signature bits into out2
        CertSignatureAlgorithm = 5, // signature algorithm OID text
        CertSubject = 6, // subject text
        CertVersion = 7, // version text
        CertSerialNumber = 8, // serial number bytes
    };
    // Writes one field of the DER certificate (cert, certLen) selected by type (CertField)
    // within the capacities *outLen / *out2Len; a text longer than its capacity is cut at a
    // whole UTF-8 character. 0 success, 0x10000025 no memory source, 0x10000026 not a
    // certificate, -1 the field cannot be produced or its bytes do not fit.
    static int MVSecMiddlewarePubFunc_GetInfoFromCert(unsigned char *cert, unsigned long certLen, int type,
                                                      char *out, int *outLen, char *out2, int *out2Len);
    // The seven fields of the summary: version, serial number, issuer, subject, notBefore,
    // notAfter, "1" or "0"; fields that cannot be read stay empty. The issuer and subject
    // are the whole distinguished-name texts of the extractor (at most 1023 bytes).
    static QStringList CertFields(BYTE *cert, ULONG certLen, bool sign);
    // The fields joined by "#" (a "#" inside a name is not escaped).
    static QString ParseCert(BYTE *cert, ULONG certLen, bool sign);
    // "YYMMDDhhmmssZ" or "YYYYMMDDhhmmssZ" into "20YY年MM月DD日hh时mm分 ".
    static QString convertTimeFromUTCTime(QString time);

    // --- Token function tests (utils_functest.cpp) ---
    // Each runs a fixed sequence of token calls and returns one result text (also kept
    // process-wide until the next test): "-3#" (invalid input), "-2#" (a token function is
    // missing) or "-4#" (device not connected) and the message; for a failed call its code,
    // "#", the message and the code again; on success "0#" and the token's output bytes as
    // Latin-1 characters, or "0" alone for the verifications.
    static QString EncryptData(void *skfHandle, QString devName, QString data);
    static QString DecryptData(void *skfHandle, QString devName, QString dData);
    // Data of at most 64 bytes in the local 8-bit encoding.
    static QString RsaSignData(void *skfHandle, void *hContainer, QString data);
    // handle goes to both the public-key export and the verification.
    static QString RsaVerifyData(void *skfHandle, void *handle, QString data, QString signature);
    // Signs SM3(Z || data) with the container's signing key into the process-wide signature
    // blob: "0#", the 64 bytes of r, "#", the 64 bytes of s.
    static QString EccSignData(void *skfHandle, void *hDev, void *hContainer, QString data);
    // Verifies the signature that the last EccSignData made (all zero before the first).
    static QString EccVerifyData(void *skfHandle, void *hDev, void *hContainer, QString data);
};

#endif // UTILS_H
