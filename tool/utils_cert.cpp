// Certificate summaries: fields of a DER X.509 certificate exported from a token.

#include <climits>
#include <cstring>
#include <string>

#include <QByteArray>
#include <QDebug>
#include <QStringList>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "utils.h"

namespace {

constexpr int kMemorySourceFailed = 0x10000025;
constexpr int kNotACertificate = 0x10000026;
constexpr int kFieldUnavailable = -1;

constexpr size_t kNameTextSize = 1024;  // the distinguished-name text and its NUL
constexpr int kNameValueSize = 256;     // one attribute value and its NUL

struct NameAttribute {
    int nid;
    const char *label;
    const char *separator;
};

const NameAttribute kNameAttributes[] = {
    {NID_countryName, "C=", ", "},
    {NID_organizationName, "O=", ", "},
    {NID_organizationalUnitName, "OU=", ", "},
    {NID_commonName, "CN=", ", "},
    {NID_localityName, "L=", ", "},
    {NID_stateOrProvinceName, "S=", ""},
};

// At most max bytes of text, never ending inside a UTF-8 sequence.
std::string cutUtf8(const std::string &text, size_t max)
{
    if (text.size() <= max)
        return text;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

// The first value of the attribute as UTF-8 text, whatever ASN.1 string type holds it
// (PrintableString, UTF8String, BMPString, T61String, UniversalString, ...), up to its
// first NUL and at most 255 bytes; empty when the name has no such value or it cannot be
// converted.
std::string attributeText(X509_NAME *name, int nid)
{
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return std::string();
    const ASN1_STRING *value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char *utf8 = nullptr;
    const int length = value ? ASN1_STRING_to_UTF8(&utf8, value) : -1;
    std::string text;
    if (length > 0)
        text.assign(reinterpret_cast<const char *>(utf8), strnlen(reinterpret_cast<const char *>(utf8), size_t(length)));
    OPENSSL_free(utf8);
    return cutUtf8(text, kNameValueSize - 1);
}

std::string nameText(X509_NAME *name)
{
    std::string text;
    for (const auto &attr : kNameAttributes) {
        const std::string value = attributeText(name, attr.nid);
        if (!value.empty()) {
            text += attr.label;
            text += value;
            text += attr.separator;
        }
    }
    return cutUtf8(text, kNameTextSize - 1);
}

// The whole DER element at p (header and content) within max bytes, definite or
// indefinite length; 0 when the bytes do not hold one.
long elementSize(const unsigned char *p, long max, int depth = 0)
{
    constexpr int kMaxDepth = 64;
    if (max <= 0 || depth > kMaxDepth)
        return 0;
    const unsigned char *content = p;
    long length = 0;
    int tag = 0, cls = 0;
    const int info = ASN1_get_object(&content, &length, &tag, &cls, max);
    if (info & 0x80)
        return 0;
    const long header = static_cast<long>(content - p);
    if (!(info & 0x01))
        return header + length;
    // Indefinite length: the elements inside up to the end-of-contents octets.
    long offset = header;
    while (offset + 2 <= max) {
        if (p[offset] == 0 && p[offset + 1] == 0)
            return offset + 2;
        const long inner = elementSize(p + offset, max - offset, depth + 1);
        if (inner <= 0)
            return 0;
        offset += inner;
    }
    return 0;
}

// The to-be-signed part exactly as the certificate carries it: the first element of the
// certificate's outer SEQUENCE.
bool signedPart(const unsigned char *cert, long certLen, const unsigned char **tbs, long *tbsLen)
{
    const unsigned char *content = cert;
    long length = 0;
    int tag = 0, cls = 0;
    const int info = ASN1_get_object(&content, &length, &tag, &cls, certLen);
    if ((info & 0x80) || !(info & V_ASN1_CONSTRUCTED) || tag != V_ASN1_SEQUENCE)
        return false;
    const long room = (info & 0x01) ? certLen - static_cast<long>(content - cert) : length;
    *tbs = content;
    *tbsLen = elementSize(content, room);
    return *tbsLen > 0;
}

// A text with its NUL, cut to the capacity.
int putText(const std::string &text, char *out, const int *outLen)
{
    if (!out || !outLen || *outLen <= 0)
        return kFieldUnavailable;
    const std::string fitted = cutUtf8(text, static_cast<size_t>(*outLen) - 1);
    memcpy(out, fitted.c_str(), fitted.size() + 1);
    return 0;
}

// Bytes that must fit whole; the count goes to *outLen.
int putBytes(const unsigned char *bytes, int count, char *out, int *outLen)
{
    if (!out || !outLen || !bytes || count < 0 || count > *outLen)
        return kFieldUnavailable;
    memcpy(out, bytes, static_cast<size_t>(count));
    *outLen = count;
    return 0;
}

// A time text as stored, with its NUL, which must fit whole.
int putTime(const ASN1_TIME *time, char *out, const int *outLen)
{
    if (!time || !out || !outLen || time->length < 0 || time->length + 1 > *outLen)
        return kFieldUnavailable;
    memcpy(out, time->data, static_cast<size_t>(time->length));
    out[time->length] = '\0';
    return 0;
}

int extractField(X509 *x, const unsigned char *cert, long certLen, int type, char *out, int *outLen, char *out2,
                 int *out2Len)
{
    switch (type) {
    case Utils::CertPublicKey: {
        const ASN1_BIT_STRING *bits = X509_get0_pubkey_bitstr(x);
        return bits ? putBytes(bits->data, bits->length, out, outLen) : kFieldUnavailable;
    }
    case Utils::CertIssuer:
        return putText(nameText(X509_get_issuer_name(x)), out, outLen);
    case Utils::CertValidity: {
        if (!out2 || !out2Len)
            return kFieldUnavailable;
        const int rc = putTime(X509_get0_notBefore(x), out, outLen);
        return rc != 0 ? rc : putTime(X509_get0_notAfter(x), out2, out2Len);
    }
    case Utils::CertToBeSigned: {
        if (!out2 || !out2Len)
            return kFieldUnavailable;
        // The bytes that were signed, as the certificate carries them: an encoder would
        // give the library's own DER of the decoded fields, which differs from them
        // whenever the certificate is not strict DER.
        const unsigned char *tbs = nullptr;
        long tbsLen = 0;
        if (!signedPart(cert, certLen, &tbs, &tbsLen) || tbsLen > INT_MAX)
            return kFieldUnavailable;
        const ASN1_BIT_STRING *signature = nullptr;
        X509_get0_signature(&signature, nullptr, x);
        int rc = putBytes(tbs, static_cast<int>(tbsLen), out, outLen);
        if (rc == 0)
            rc = signature ? putBytes(signature->data, signature->length, out2, out2Len) : kFieldUnavailable;
        return rc;
    }
    case Utils::CertSignatureAlgorithm: {
        const X509_ALGOR *alg = nullptr;
        const ASN1_OBJECT *oid = nullptr;
        X509_get0_signature(nullptr, &alg, x);
        if (alg)
            X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
        const unsigned char *content = oid ? OBJ_get0_data(oid) : nullptr;
        return content ? putBytes(content, static_cast<int>(OBJ_length(oid)), out, outLen) : kFieldUnavailable;
    }
    case Utils::CertSubject:
        return putText(nameText(X509_get_subject_name(x)), out, outLen);
    case Utils::CertVersion: {
        static const char *const names[] = {"v1", "v2", "v3"};
        const long version = X509_get_version(x); // an absent version field reads as 0
        if (version >= 0 && version <= 2) {
            if (!out || !outLen || *outLen < 2)
                return kFieldUnavailable;
            memcpy(out, names[version], 2);
        }
        return 0;
    }
    case Utils::CertSerialNumber: {
        const ASN1_INTEGER *serial = X509_get0_serialNumber(x);
        return serial ? putBytes(serial->data, serial->length, out, outLen) : kFieldUnavailable;
    }
    default:
        return 0;
    }
}

} // namespace

int Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(unsigned char *cert, unsigned long certLen, int type, char *out,
                                                  int *outLen, char *out2, int *out2Len)
{
    if (certLen > static_cast<unsigned long>(INT_MAX))
        return kMemorySourceFailed;
    BIO *bio = BIO_new_mem_buf(cert, static_cast<int>(certLen));
    if (!bio)
        return kMemorySourceFailed;
    X509 *x = d2i_X509_bio(bio, nullptr);
    if (!x) {
        BIO_free(bio);
        return kNotACertificate;
    }
    const int rc = extractField(x, cert, static_cast<long>(certLen), type, out, outLen, out2, out2Len);
    X509_free(x);
    BIO_free(bio);
    return rc;
}

QStringList Utils::CertFields(BYTE *cert, ULONG certLen, bool sign)
{
    const unsigned long len = static_cast<unsigned long>(certLen);
    QString version, serial, issuer, subject, start, end;

    char versionBuf[32] = {};
    int versionLen = sizeof versionBuf;
    if (MVSecMiddlewarePubFunc_GetInfoFromCert(cert, len, CertVersion, versionBuf, &versionLen, nullptr, nullptr) == 0)
        version = QString::fromUtf8(versionBuf, static_cast<int>(strnlen(versionBuf, sizeof versionBuf)));

    // Room for the whole distinguished-name text the extractor assembles.
    char issuerBuf[kNameTextSize] = {};
    int issuerLen = sizeof issuerBuf;
    if (MVSecMiddlewarePubFunc_GetInfoFromCert(cert, len, CertIssuer, issuerBuf, &issuerLen, nullptr, nullptr) == 0)
        issuer = text(issuerBuf);

    char serialBuf[32] = {};
    int serialLen = sizeof serialBuf;
    if (MVSecMiddlewarePubFunc_GetInfoFromCert(cert, len, CertSerialNumber, serialBuf, &serialLen, nullptr, nullptr)
        == 0)
        serial = QString::fromLatin1(QByteArray(serialBuf, serialLen).toHex());

    char subjectBuf[kNameTextSize] = {};
    int subjectLen = sizeof subjectBuf;
    if (MVSecMiddlewarePubFunc_GetInfoFromCert(cert, len, CertSubject, subjectBuf, &subjectLen, nullptr, nullptr) == 0)
        subject = text(subjectBuf);

    char notBefore[32] = {};
    char notAfter[32] = {};
    int notBeforeLen = sizeof notBefore;
    int notAfterLen = sizeof notAfter;
    if (MVSecMiddlewarePubFunc_GetInfoFromCert(
            cert, len, CertValidity, notBefore, &notBeforeLen, notAfter, &notAfterLen)
        == 0) {
        const QString startText = text(notBefore), endText = text(notAfter);
        if (!startText.isEmpty())
            start = convertTimeFromUTCTime(startText);
        if (!endText.isEmpty())
            end = convertTimeFromUTCTime(endText);
    }

    return {version, serial, issuer, subject, start, end, QString::number(sign ? 1 : 0)};
}

QString Utils::ParseCert(BYTE *cert, ULONG certLen, bool sign)
{
    const QString summary = CertFields(cert, certLen, sign).join(QLatin1Char('#'));
    qDebug().noquote() << QString::fromUtf8("获取证书信息:") + summary;
    return summary;
}

QString Utils::convertTimeFromUTCTime(QString time)
{
    const int y = time.length() == 15 ? 2 : 0; // GeneralizedTime: skip the century
    return QString::fromUtf8("20") + time.mid(y, 2) + QString::fromUtf8("年") + time.mid(y + 2, 2) +
           QString::fromUtf8("月") + time.mid(y + 4, 2) + QString::fromUtf8("日") + time.mid(y + 6, 2) +
           QString::fromUtf8("时") + time.mid(y + 8, 2) + QString::fromUtf8("分 ");
}
