// Certificate summaries and the field extractor, over certificates made here with OpenSSL.

#include <QtTest>

#include <cstring>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "certmaker.h"
#include "utils.h"

using namespace certmaker;

namespace {

QString summaryOf(QByteArray der, bool sign = true)
{
    return Utils::ParseCert(reinterpret_cast<BYTE *>(der.data()), static_cast<ULONG>(der.size()), sign);
}

// The bytes of the DER element that starts at offset (its header included).
QByteArray derElement(const QByteArray &der, int offset)
{
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData()) + offset;
    int header = 2;
    long len = p[1];
    if (p[1] & 0x80) {
        const int n = p[1] & 0x7f;
        len = 0;
        for (int i = 0; i < n; ++i)
            len = len << 8 | p[2 + i];
        header = 2 + n;
    }
    return der.mid(offset, header + static_cast<int>(len));
}

// Name entries from "C=CN|O=Org|CN=Name" (UTF-8 values).
std::vector<NameEntry> nameEntries(const QByteArray &fields)
{
    static std::vector<QByteArray> keep; // the field names the entries point to
    std::vector<NameEntry> entries;
    for (const QByteArray &part : fields.split('|')) {
        const int eq = part.indexOf('=');
        keep.push_back(part.left(eq));
        entries.push_back({keep.back().constData(), part.mid(eq + 1)});
    }
    return entries;
}

QString repeated(int count, char16_t c)
{
    return QString(count, QChar(c));
}

int derHeaderLength(const QByteArray &der)
{
    const auto b = static_cast<unsigned char>(der[1]);
    return b & 0x80 ? 2 + (b & 0x7f) : 2;
}

// A DER header of tag and length; `extraZero` writes the length in long form with a
// leading zero byte, which is not DER but which the crypto library still decodes.
QByteArray derHeader(unsigned char tag, int length, bool extraZero = false)
{
    QByteArray h(1, char(tag));
    QByteArray len;
    for (int n = length; n > 0; n >>= 8)
        len.prepend(char(n & 0xff));
    if (extraZero)
        len.prepend('\0');
    if (!extraZero && length < 0x80)
        return h + char(length);
    return h + char(0x80 | len.size()) + len;
}

} // namespace

class TestUtilsCert : public QObject
{
    Q_OBJECT

private slots:
    void exampleCertificateSummary()
    {
        QCOMPARE(summaryOf(makeCert(CertSpec())),
                 QString::fromUtf8("v3#01a2b3c4#C=CN, O=Sample Org, CN=Sample CA, #C=CN, O=Sample Org, OU=Dept A, "
                                   "CN=User One, L=Springfield, #2024年03月01日08时00分 #2051年03月01日08时00分 #1"));
    }

    void distinguishedNames_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("expected");
        QTest::newRow("all six") << QByteArray("C=CN|O=Org|OU=Unit|CN=Name|L=City|ST=State")
                                 << "C=CN, O=Org, OU=Unit, CN=Name, L=City, S=State";
        QTest::newRow("order is fixed") << QByteArray("ST=State|CN=Name|C=CN") << "C=CN, CN=Name, S=State";
        QTest::newRow("common name only") << QByteArray("CN=Only") << "CN=Only, ";
        QTest::newRow("first of two units") << QByteArray("OU=First|OU=Second|CN=N") << "OU=First, CN=N, ";
        QTest::newRow("other attributes left out") << QByteArray("emailAddress=a@b.c|street=Main St|CN=N")
                                                   << "CN=N, ";
        QTest::newRow("UTF-8 value") << QByteArray("CN=张三") << QString::fromUtf8("CN=张三, ");
        QTest::newRow("none of the six") << QByteArray("emailAddress=a@b.c") << "";
    }

    void distinguishedNames()
    {
        QFETCH(QByteArray, field);
        QFETCH(QString, expected);
        CertSpec spec;
        spec.subject = nameEntries(field);
        QCOMPARE(summaryOf(makeCert(spec)).split('#').value(3), expected);
    }

    // Older certificates hold names in other string types than UTF8String: each value is
    // shown as its text, in the issuer and in the subject.
    void nameStringTypes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("value");
        QTest::newRow("BMPString, ASCII") << int(V_ASN1_BMPSTRING) << "Issuer BMP";
        QTest::newRow("BMPString, Chinese and ASCII") << int(V_ASN1_BMPSTRING) << QString::fromUtf8("张三AB");
        QTest::newRow("T61String") << int(V_ASN1_T61STRING) << QString::fromUtf8("Müller");
        QTest::newRow("UniversalString") << int(V_ASN1_UNIVERSALSTRING) << QString::fromUtf8("李四 𠀋");
        QTest::newRow("PrintableString") << int(V_ASN1_PRINTABLESTRING) << "Plain Name";
        QTest::newRow("UTF8String") << int(V_ASN1_UTF8STRING) << QString::fromUtf8("王五");
    }

    void nameStringTypes()
    {
        QFETCH(int, type);
        QFETCH(QString, value);
        CertSpec spec;
        spec.issuer = {{"C", "CN"}, {"CN", stringBytes(type, value), type}};
        spec.subject = {{"O", stringBytes(type, value), type}};
        const QStringList fields = summaryOf(makeCert(spec)).split('#');
        QCOMPARE(fields.value(2), "C=CN, CN=" + value + ", ");
        QCOMPARE(fields.value(3), "O=" + value + ", ");
    }

    // Long names are shown whole, in the issuer and in the subject: the summary holds the
    // whole text the extractor assembles, each value up to 255 bytes and the text up to
    // 1023, both cut at a whole character; the other fields stay as they are.
    void longNamesShowWhole_data()
    {
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QString>("expected");
        const QString org = QString::fromUtf8("浙江省杭州市西湖区米尔维尔信息安全技术股份有限公司研发中心");
        QTest::newRow("Chinese holder of 201 bytes")
            << (QString::fromUtf8("C=CN|O=") + org
                + QString::fromUtf8("|OU=密码产品事业部第三研究室|CN=欧阳张三丰|L=杭州市西湖区|ST=浙江省"))
                   .toUtf8()
            << QString::fromUtf8("C=CN, O=") + org
                   + QString::fromUtf8(", OU=密码产品事业部第三研究室, CN=欧阳张三丰, L=杭州市西湖区, S=浙江省");
        QTest::newRow("ASCII value of 200 bytes")
            << QByteArray("O=") + QByteArray(200, 'o') + "|CN=x" << "O=" + QString(200, QChar('o')) + ", CN=x, ";
        QTest::newRow("80 Chinese characters") << ("CN=" + repeated(80, u'中')).toUtf8()
                                               << "CN=" + repeated(80, u'中') + ", ";
        QTest::newRow("value of 270 bytes keeps 85 characters") << ("CN=" + repeated(90, u'中')).toUtf8()
                                                                << "CN=" + repeated(85, u'中') + ", ";
        // 259 + 259 + 260 + 3 bytes before the common name leave 242 of the 1023: 80 characters.
        const QString wide = repeated(90, u'中');
        QTest::newRow("text past 1023 bytes")
            << ("C=" + wide + "|O=" + wide + "|OU=" + wide + "|CN=" + wide + "|L=" + wide + "|ST=" + wide).toUtf8()
            << "C=" + repeated(85, u'中') + ", O=" + repeated(85, u'中') + ", OU=" + repeated(85, u'中')
                   + ", CN=" + repeated(80, u'中');
    }

    void longNamesShowWhole()
    {
        QFETCH(QByteArray, fields);
        QFETCH(QString, expected);
        CertSpec spec;
        spec.issuer = nameEntries(fields);
        spec.subject = nameEntries(fields);
        QCOMPARE(summaryOf(makeCert(spec)), "v3#01a2b3c4#" + expected + "#" + expected
                                                + QString::fromUtf8("#2024年03月01日08时00分 #2051年03月01日08时00分 #1"));
    }

    // The extractor writes within the capacity it is given and cuts a longer text at a
    // whole character.
    void extractorKeepsToItsCapacity_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("capacity");
        QTest::addColumn<QString>("expected");
        const QString wide = repeated(80, u'中'); // 240 bytes
        QTest::newRow("subject in 20 bytes") << int(Utils::CertSubject) << 20 << "CN=" + repeated(5, u'中');
        QTest::newRow("issuer in 128 bytes") << int(Utils::CertIssuer) << 128 << "CN=" + repeated(41, u'中');
        QTest::newRow("subject in 243 bytes") << int(Utils::CertSubject) << 243 << "CN=" + repeated(79, u'中');
        QTest::newRow("subject in 244 bytes") << int(Utils::CertSubject) << 244 << "CN=" + wide;
        QTest::newRow("subject in 246 bytes, whole") << int(Utils::CertSubject) << 246 << "CN=" + wide + ", ";
    }

    void extractorKeepsToItsCapacity()
    {
        QFETCH(int, type);
        QFETCH(int, capacity);
        QFETCH(QString, expected);
        CertSpec spec;
        spec.issuer = spec.subject = {{"CN", repeated(80, u'中').toUtf8()}};
        QByteArray der = makeCert(spec);
        std::vector<char> out(1100, 'Z');
        int outLen = capacity;
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(reinterpret_cast<unsigned char *>(der.data()),
                                                               static_cast<unsigned long>(der.size()), type, out.data(),
                                                               &outLen, nullptr, nullptr),
                 0);
        QCOMPARE(QString::fromUtf8(out.data()), expected);
        for (size_t i = size_t(capacity); i < out.size(); ++i)
            QCOMPARE(out[i], 'Z');
    }

    void versionsAndSerials()
    {
        CertSpec v1;
        v1.version = -1;
        QCOMPARE(summaryOf(makeCert(v1)).split('#').value(0), QString("v1"));
        CertSpec v2;
        v2.version = 1;
        QCOMPARE(summaryOf(makeCert(v2)).split('#').value(0), QString("v2"));
        CertSpec high;
        high.serial = QByteArray::fromHex("80ff00"); // DER adds a sign byte; the summary does not
        QCOMPARE(summaryOf(makeCert(high)).split('#').value(1), QString("80ff00"));
    }

    void notCertificates_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("sign");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty, encryption") << QByteArray() << false << "######0";
        QTest::newRow("text, signature") << QByteArray("-----BEGIN CERTIFICATE-----") << true << "######1";
        QTest::newRow("truncated certificate") << makeCert(CertSpec()).left(200) << true << "######1";
    }

    void notCertificates()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, sign);
        QFETCH(QString, expected);
        QCOMPARE(summaryOf(bytes, sign), expected);
        char out[32];
        int outLen = sizeof out;
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(reinterpret_cast<unsigned char *>(bytes.data()),
                                                               static_cast<unsigned long>(bytes.size()), 7, out,
                                                               &outLen, nullptr, nullptr),
                 0x10000026);
    }

    void convertTime_data()
    {
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("expected");
        QTest::newRow("UTCTime") << "991231235959Z" << QString::fromUtf8("2099年12月31日23时59分 ");
        QTest::newRow("GeneralizedTime keeps two digits")
            << "19991231235959Z" << QString::fromUtf8("2099年12月31日23时59分 ");
        QTest::newRow("example start") << "240301080000Z" << QString::fromUtf8("2024年03月01日08时00分 ");
        QTest::newRow("short text") << "2403" << QString::fromUtf8("2024年03月日时分 ");
    }

    void convertTime()
    {
        QFETCH(QString, time);
        QFETCH(QString, expected);
        QCOMPARE(Utils::convertTimeFromUTCTime(time), expected);
    }

    // The byte fields: public key bits, to-be-signed part and signature, signature
    // algorithm; an unknown type leaves the buffers alone; a field that does not fit gives -1.
    void byteFields()
    {
        QByteArray der = makeCert(CertSpec());
        auto *cert = reinterpret_cast<unsigned char *>(der.data());
        const auto certLen = static_cast<unsigned long>(der.size());
        const unsigned char *p = cert;
        X509 *x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        QVERIFY(x);

        std::vector<char> out(4096, 'Z'), out2(512, 'Z');
        int outLen = static_cast<int>(out.size()), out2Len = static_cast<int>(out2.size());
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(cert, certLen, 9, out.data(), &outLen, out2.data(),
                                                               &out2Len),
                 0);
        QCOMPARE(out[0], 'Z');
        QCOMPARE(out2[0], 'Z');

        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(
                     cert, certLen, Utils::CertToBeSigned, out.data(), &outLen, out2.data(), &out2Len),
            0);
        const QByteArray tbs = derElement(der, derHeaderLength(der));
        QCOMPARE(QByteArray(out.data(), outLen), tbs);
        const ASN1_BIT_STRING *sig = nullptr;
        X509_get0_signature(&sig, nullptr, x);
        QCOMPARE(QByteArray(out2.data(), out2Len), QByteArray(reinterpret_cast<const char *>(sig->data), sig->length));

        outLen = static_cast<int>(out.size());
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(
                     cert, certLen, Utils::CertPublicKey, out.data(), &outLen, nullptr, nullptr),
            0);
        const ASN1_BIT_STRING *bits = X509_get0_pubkey_bitstr(x);
        QCOMPARE(QByteArray(out.data(), outLen), QByteArray(reinterpret_cast<const char *>(bits->data), bits->length));

        outLen = static_cast<int>(out.size());
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(
                     cert, certLen, Utils::CertSignatureAlgorithm, out.data(), &outLen, nullptr, nullptr),
            0);
        QCOMPARE(QByteArray(out.data(), outLen).toHex(), QByteArray("2a8648ce3d040302")); // ecdsa-with-SHA256

        // Too small for the to-be-signed part: -1, and nothing beyond the capacity changes.
        std::fill(out.begin(), out.end(), 'Z');
        outLen = 100;
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(
                     cert, certLen, Utils::CertToBeSigned, out.data(), &outLen, out2.data(), &out2Len),
            -1);
        for (size_t i = 100; i < out.size(); ++i)
            QCOMPARE(out[i], 'Z');
        outLen = 2;
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(
                     cert, certLen, Utils::CertSerialNumber, out.data(), &outLen, nullptr, nullptr),
            -1);
        X509_free(x);
    }

    // Type 4 gives the to-be-signed bytes the certificate carries, also when they are not
    // strict DER: the signature must verify over them.
    void signedPartAsCarried_data()
    {
        QTest::addColumn<bool>("extraZero");     // the part's length with a leading zero byte
        QTest::addColumn<bool>("indefinite");    // the certificate's own length indefinite
        QTest::newRow("strict DER") << false << false;
        QTest::newRow("long-form length with a leading zero") << true << false;
        QTest::newRow("certificate of indefinite length") << true << true;
    }

    void signedPartAsCarried()
    {
        QFETCH(bool, extraZero);
        QFETCH(bool, indefinite);
        EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        QVERIFY(key);
        // The parts of a strict certificate, then the to-be-signed part's header rewritten
        // and signed anew.
        const QByteArray strict = makeCert(CertSpec());
        const int outerHeader = derHeaderLength(strict);
        const QByteArray strictTbs = derElement(strict, outerHeader);
        const QByteArray algorithm = derElement(strict, outerHeader + strictTbs.size());
        const int tbsHeader = derHeaderLength(strictTbs);
        const QByteArray tbs = derHeader(0x30, strictTbs.size() - tbsHeader, extraZero) + strictTbs.mid(tbsHeader);

        size_t sigLen = 0;
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        QVERIFY(EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key) == 1);
        const auto *tbsBytes = reinterpret_cast<const unsigned char *>(tbs.constData());
        QVERIFY(EVP_DigestSign(md, nullptr, &sigLen, tbsBytes, size_t(tbs.size())) == 1);
        QByteArray sig(int(sigLen), '\0');
        QVERIFY(EVP_DigestSign(md, reinterpret_cast<unsigned char *>(sig.data()), &sigLen, tbsBytes, size_t(tbs.size())) == 1);
        sig.resize(int(sigLen));
        EVP_MD_CTX_free(md);
        const QByteArray bits = derHeader(0x03, sig.size() + 1) + '\0' + sig;
        const QByteArray body = tbs + algorithm + bits;
        QByteArray der = indefinite ? QByteArray("\x30\x80", 2) + body + QByteArray(2, '\0')
                                    : derHeader(0x30, body.size()) + body;

        std::vector<char> out(4096), out2(512);
        int outLen = int(out.size()), out2Len = int(out2.size());
        QCOMPARE(Utils::MVSecMiddlewarePubFunc_GetInfoFromCert(reinterpret_cast<unsigned char *>(der.data()),
                                                               static_cast<unsigned long>(der.size()), 4, out.data(),
                                                               &outLen, out2.data(), &out2Len),
                 0);
        QCOMPARE(QByteArray(out.data(), outLen), tbs);
        QCOMPARE(QByteArray(out2.data(), out2Len), sig);

        md = EVP_MD_CTX_new();
        QVERIFY(EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1);
        QCOMPARE(EVP_DigestVerify(md, reinterpret_cast<const unsigned char *>(out2.data()), size_t(out2Len),
                                  reinterpret_cast<const unsigned char *>(out.data()), size_t(outLen)),
                 1);
        EVP_MD_CTX_free(md);
        EVP_PKEY_free(key);
    }
};

QTEST_GUILESS_MAIN(TestUtilsCert)
#include "test_utils_cert.moc"
