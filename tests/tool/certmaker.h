#ifndef CERTMAKER_H
#define CERTMAKER_H

// Certificates made here with OpenSSL, with the parts a test names: version, serial
// number, issuer and subject entries of any ASN.1 string type, validity.
#include <QByteArray>
#include <QString>

#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace certmaker {

struct NameEntry {
    const char *field;
    QByteArray value;
    int type = V_ASN1_UTF8STRING; // the ASN.1 string type the value's bytes are stored as
};

// A certificate with the given parts, signed with a fresh EC P-256 key and SHA-256.
struct CertSpec {
    long version = 2; // -1: no version field at all (v1)
    QByteArray serial = QByteArray::fromHex("01A2B3C4");
    std::vector<NameEntry> issuer = {{"C", "CN"}, {"O", "Sample Org"}, {"CN", "Sample CA"}};
    std::vector<NameEntry> subject = {
        {"C", "CN"}, {"O", "Sample Org"}, {"OU", "Dept A"}, {"CN", "User One"}, {"L", "Springfield"}};
    const char *notBefore = "240301080000Z";
    const char *notAfter = "20510301080000Z";
};

inline X509_NAME *makeName(const std::vector<NameEntry> &entries)
{
    X509_NAME *name = X509_NAME_new();
    for (const auto &e : entries)
        X509_NAME_add_entry_by_txt(name, e.field, e.type, // stored as given: no length limits
                                   reinterpret_cast<const unsigned char *>(e.value.constData()), e.value.size(), -1, 0);
    return name;
}

inline QByteArray makeCert(const CertSpec &spec)
{
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509 *x = X509_new();
    if (spec.version >= 0)
        X509_set_version(x, spec.version);
    ASN1_INTEGER *serial = ASN1_INTEGER_new();
    ASN1_STRING_set(serial, spec.serial.constData(), spec.serial.size());
    X509_set_serialNumber(x, serial);
    ASN1_INTEGER_free(serial);
    X509_NAME *issuer = makeName(spec.issuer), *subject = makeName(spec.subject);
    X509_set_issuer_name(x, issuer);
    X509_set_subject_name(x, subject);
    ASN1_TIME_set_string(X509_getm_notBefore(x), spec.notBefore);
    ASN1_TIME_set_string(X509_getm_notAfter(x), spec.notAfter);
    X509_set_pubkey(x, key);
    X509_sign(x, key, EVP_sha256());
    unsigned char *der = nullptr;
    const int len = i2d_X509(x, &der);
    QByteArray out(reinterpret_cast<char *>(der), len);
    OPENSSL_free(der);
    X509_NAME_free(issuer);
    X509_NAME_free(subject);
    X509_free(x);
    EVP_PKEY_free(key);
    return out;
}

// The text in the bytes of the given ASN.1 string type.
inline QByteArray stringBytes(int type, const QString &text)
{
    QByteArray out;
    switch (type) {
    case V_ASN1_BMPSTRING:
        for (const QChar c : text)
            out += char(c.unicode() >> 8), out += char(c.unicode() & 0xff);
        return out;
    case V_ASN1_UNIVERSALSTRING:
        for (const uint c : text.toUcs4())
            out += char(c >> 24), out += char(c >> 16 & 0xff), out += char(c >> 8 & 0xff), out += char(c & 0xff);
        return out;
    case V_ASN1_T61STRING:
        return text.toLatin1();
    default:
        return text.toUtf8();
    }
}

} // namespace certmaker

#endif // CERTMAKER_H
