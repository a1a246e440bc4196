// The token function tests of Utils, over a scripted token library (refusals, missing
// functions, failing calls, the arguments the token receives) and over the stand-in token
// library with real cryptography.
#include <QByteArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <cstring>
#include <dlfcn.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include "skflibrary.h"
#include "utils.h"

namespace {

const ULONG kFailCode = 5;
const char kDevice[] = "FTDEV";
const char kUserPin[] = "11111111";

QString msg(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

QString failureText(ULONG code, const char *message)
{
    const QString c = QString::number(static_cast<qulonglong>(code));
    return c + "#" + msg(message) + c;
}

// Bytes as the tests hand them back: one character per byte, zero bytes included.
QString latin1(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData(), bytes.size());
}

QByteArray bytesOf(const QString &latin1Text)
{
    return latin1Text.toLatin1();
}

QByteArray counting(int from, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(static_cast<char>(from + i));
    return bytes;
}

// The token calls each test makes, in order.
QStringList callSequence(const QString &test)
{
    if (test == "EncryptData")
        return {"SKF_ConnectDev", "SKF_SetSymmKey", "SKF_EncryptInit", "SKF_Encrypt"};
    if (test == "DecryptData")
        return {"SKF_ConnectDev", "SKF_SetSymmKey", "SKF_DecryptInit", "SKF_Decrypt"};
    if (test == "RsaSignData")
        return {"SKF_RSASignData"};
    if (test == "RsaVerifyData")
        return {"SKF_ExportPublicKey", "SKF_RSAVerify"};
    if (test == "EccSignData")
        return {"SKF_ExportPublicKey", "SKF_DigestInit", "SKF_Digest", "SKF_ECCSignData"};
    return {"SKF_ExportPublicKey", "SKF_DigestInit", "SKF_Digest", "SKF_ECCVerify"};
}

// One of the six tests with the arguments it takes.
QString runTest(const QString &test, void *lib, const QString &devName, void *hDev, void *hCon, const QString &data,
                const QString &signature = QString())
{
    if (test == "EncryptData")
        return Utils::EncryptData(lib, devName, data);
    if (test == "DecryptData")
        return Utils::DecryptData(lib, devName, data);
    if (test == "RsaSignData")
        return Utils::RsaSignData(lib, hCon, data);
    if (test == "RsaVerifyData")
        return Utils::RsaVerifyData(lib, hCon, data, signature);
    if (test == "EccSignData")
        return Utils::EccSignData(lib, hDev, hCon, data);
    return Utils::EccVerifyData(lib, hDev, hCon, data);
}

// The scripted token library (fakecrypto.cpp), whole or lacking one function.
struct FakeToken {
    void *lib = nullptr;
    void (*reset)() = nullptr;
    void (*fail)(const char *, ULONG) = nullptr;
    void (*setReportedLen)(ULONG) = nullptr;
    const char *(*log)() = nullptr;
    const char *(*recordOf)(const char *, size_t *) = nullptr;

    bool open(const QString &path)
    {
        lib = dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return false;
        reset = reinterpret_cast<void (*)()>(dlsym(lib, "fake_reset"));
        fail = reinterpret_cast<void (*)(const char *, ULONG)>(dlsym(lib, "fake_fail"));
        setReportedLen = reinterpret_cast<void (*)(ULONG)>(dlsym(lib, "fake_set_reported_len"));
        log = reinterpret_cast<const char *(*)()>(dlsym(lib, "fake_log"));
        recordOf = reinterpret_cast<const char *(*)(const char *, size_t *)>(dlsym(lib, "fake_record"));
        return reset && fail && setReportedLen && log && recordOf;
    }
    QByteArray record(const char *name) const
    {
        size_t length = 0;
        const char *bytes = recordOf(name, &length);
        return bytes ? QByteArray(bytes, static_cast<int>(length)) : QByteArray();
    }
    void *handleRecord(const char *name) const
    {
        void *handle = nullptr;
        const QByteArray bytes = record(name);
        if (bytes.size() == sizeof handle)
            std::memcpy(&handle, bytes.constData(), sizeof handle);
        return handle;
    }
    QString calls() const { return QString::fromLatin1(log()); }
};

QString joinedCalls(const QStringList &calls)
{
    QString text;
    for (const QString &c : calls)
        text += c + ";";
    return text;
}

template <typename T> QByteArray rawBytes(const T &value)
{
    return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
}

} // namespace

class TestFunctest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // Runs first: the signature blob is process-wide and nothing has signed yet.
    void verifyBeforeAnySignChecksTheZeroBlob();

    void refusalsComeBeforeAnyCall_data();
    void refusalsComeBeforeAnyCall();
    void missingFunctionMakesNoCall_data();
    void missingFunctionMakesNoCall();
    void unconnectableDevice_data();
    void unconnectableDevice();
    void failedCallReportsItsCode_data();
    void failedCallReportsItsCode();
    void cipherArgumentsReachTheToken();
    void rsaArgumentsReachTheToken();
    void eccArgumentsReachTheToken();
    void reportedLengthsStayInsideTheBuffers();

    void encryptThenDecryptWithSm4_data();
    void encryptThenDecryptWithSm4();
    void rsaSignThenVerify_data();
    void rsaSignThenVerify();
    void eccSignatureIsARealSm2Signature();
    void tokenRefusalsCarryItsCode_data();
    void tokenRefusalsCarryItsCode();

private:
    FakeToken &fake(const QString &omitted = QString());
    ULONG exportPublicKey(void *hCon, QByteArray &blob);

    QTemporaryDir m_store;
    void *m_standin = nullptr;
    void *m_hDev = nullptr;
    void *m_rsaCon = nullptr;
    void *m_sm2Con = nullptr;
    void *m_lockedSm2Con = nullptr;
    void *m_lockedRsaCon = nullptr;
    QMap<QString, FakeToken> m_fakes;
    int m_anyDev = 0;
    int m_anyCon = 0;
};

FakeToken &TestFunctest::fake(const QString &omitted)
{
    if (!m_fakes.contains(omitted)) {
        const QString name = omitted.isEmpty() ? QString("libmv_fakecrypto.so")
                                               : QString("libmv_fakecrypto_no_%1.so").arg(omitted);
        FakeToken token;
        if (!token.open(QString(FAKECRYPTO_DIR) + "/" + name))
            qFatal("cannot load the scripted token library %s: %s", qPrintable(name), dlerror());
        m_fakes.insert(omitted, token);
    }
    FakeToken &token = m_fakes[omitted];
    token.reset();
    return token;
}

ULONG TestFunctest::exportPublicKey(void *hCon, QByteArray &blob)
{
    auto fn = SkfLibrary::resolve(m_standin, SKF_FUNCTION(SKF_ExportPublicKey));
    blob = QByteArray(512, '\0');
    ULONG length = blob.size();
    const ULONG rv = fn(hCon, TRUE, reinterpret_cast<BYTE *>(blob.data()), &length);
    blob.truncate(static_cast<int>(length));
    return rv;
}

void TestFunctest::initTestCase()
{
    // As the program does at start-up.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    QVERIFY(m_store.isValid());
    qputenv("MVUKEY_STORE", m_store.path().toLocal8Bit());
    const QString mvtoken = qEnvironmentVariable("MV_BIN_DIR") + "/mvtoken";
    const QList<QStringList> provisioning = {
        {"init-device", kDevice},
        {"insert", kDevice},
        {"create-app", kDevice, "APP", "--admin-pin", "12345678", "--user-pin", kUserPin},
        {"create-container", kDevice, "APP", "RSA", "--key", "rsa"},
        {"create-container", kDevice, "APP", "SM2", "--key", "sm2"},
        {"create-app", kDevice, "LOCKED", "--admin-pin", "12345678", "--user-pin", kUserPin},
        {"create-container", kDevice, "LOCKED", "RSA", "--key", "rsa"},
        {"create-container", kDevice, "LOCKED", "SM2", "--key", "sm2"},
    };
    for (const QStringList &args : provisioning) {
        QProcess p;
        p.start(mvtoken, args);
        QVERIFY2(p.waitForFinished(60000), qPrintable(args.join(' ')));
        QVERIFY2(p.exitCode() == 0, qPrintable(args.join(' ') + ": " + p.readAllStandardError()));
    }

    const QString path = qEnvironmentVariable("MV_TOKEN_DIR") + "/libSKFAPI.so";
    m_standin = dlopen(path.toLocal8Bit().constData(), RTLD_LAZY | RTLD_GLOBAL);
    QVERIFY2(m_standin, dlerror());

    m_hDev = Utils::OpenDev(m_standin, kDevice);
    QVERIFY(m_hDev);
    auto openApp = SkfLibrary::resolve(m_standin, SKF_FUNCTION(SKF_OpenApplication));
    auto verifyPin = SkfLibrary::resolve(m_standin, SKF_FUNCTION(SKF_VerifyPIN));
    auto openCon = SkfLibrary::resolve(m_standin, SKF_FUNCTION(SKF_OpenContainer));
    QVERIFY(openApp && verifyPin && openCon);
    HAPPLICATION app = nullptr, locked = nullptr;
    QCOMPARE(openApp(m_hDev, const_cast<char *>("APP"), &app), SAR_OK);
    QCOMPARE(openApp(m_hDev, const_cast<char *>("LOCKED"), &locked), SAR_OK);
    ULONG retries = 0;
    QCOMPARE(verifyPin(app, USER_TYPE, const_cast<char *>(kUserPin), &retries), SAR_OK);
    QCOMPARE(openCon(app, const_cast<char *>("RSA"), &m_rsaCon), SAR_OK);
    QCOMPARE(openCon(app, const_cast<char *>("SM2"), &m_sm2Con), SAR_OK);
    QCOMPARE(openCon(locked, const_cast<char *>("RSA"), &m_lockedRsaCon), SAR_OK);
    QCOMPARE(openCon(locked, const_cast<char *>("SM2"), &m_lockedSm2Con), SAR_OK);
}

void TestFunctest::cleanupTestCase()
{
    for (FakeToken &token : m_fakes)
        dlclose(token.lib);
    m_fakes.clear();
    if (m_standin)
        dlclose(m_standin);
}

void TestFunctest::verifyBeforeAnySignChecksTheZeroBlob()
{
    QCOMPARE(Utils::EccVerifyData(m_standin, m_hDev, m_sm2Con, "abc"),
             failureText(SAR_FAIL, "ECC数据验签失败，返回的错误码："));

    // Over the scripted token, the blob that reaches the verification is all zero.
    FakeToken &token = fake();
    QCOMPARE(Utils::EccVerifyData(token.lib, &m_anyDev, &m_anyCon, "abc"), QString("0"));
    QCOMPARE(token.record("SKF_ECCVerify.pSignature"), QByteArray(128, '\0'));
}

void TestFunctest::refusalsComeBeforeAnyCall_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<bool>("nullLib");
    QTest::addColumn<QString>("devName");
    QTest::addColumn<bool>("nullCon");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QString>("expected");

    const QString enc = "-3#" + msg("输入参数信息无效，不能检测数据加密功能");
    const QString dec = "-3#" + msg("输入参数信息无效，不能检测数据解密功能");
    const QString rsaSign = "-3#" + msg("输入参数信息无效，不能检测数据RSA签名功能");
    const QString rsaVerify = "-3#" + msg("输入参数信息无效，不能检测数据RSA验签功能");
    const QString eccSign = "-3#" + msg("输入参数信息无效，不能检测数据ECC签名功能");
    const QString eccVerify = "-3#" + msg("输入参数信息无效，不能检测数据ECC验签功能");

    QTest::newRow("encrypt, null library") << "EncryptData" << true << "dev" << false << "data" << "" << enc;
    QTest::newRow("encrypt, empty device name") << "EncryptData" << false << "" << false << "data" << "" << enc;
    QTest::newRow("encrypt, empty data") << "EncryptData" << false << "dev" << false << "" << "" << enc;
    QTest::newRow("decrypt, null library") << "DecryptData" << true << "dev" << false << "data" << "" << dec;
    QTest::newRow("decrypt, empty device name") << "DecryptData" << false << "" << false << "data" << "" << dec;
    QTest::newRow("decrypt, empty data") << "DecryptData" << false << "dev" << false << "" << "" << dec;
    QTest::newRow("rsa sign, null library") << "RsaSignData" << true << "" << false << "data" << "" << rsaSign;
    QTest::newRow("rsa sign, null container") << "RsaSignData" << false << "" << true << "data" << "" << rsaSign;
    QTest::newRow("rsa sign, empty data") << "RsaSignData" << false << "" << false << "" << "" << rsaSign;
    QTest::newRow("rsa sign, 65 bytes") << "RsaSignData" << false << "" << false << QString(65, 'a') << ""
                                        << rsaSign;
    // 33 characters, but 66 bytes in UTF-8.
    QTest::newRow("rsa sign, 66 UTF-8 bytes") << "RsaSignData" << false << "" << false
                                              << QString(33, QChar(0x00e9)) << "" << rsaSign;
    QTest::newRow("rsa verify, null library") << "RsaVerifyData" << true << "" << false << "data" << "sig"
                                              << rsaVerify;
    QTest::newRow("rsa verify, null handle") << "RsaVerifyData" << false << "" << true << "data" << "sig"
                                             << rsaVerify;
    QTest::newRow("rsa verify, empty signature") << "RsaVerifyData" << false << "" << false << "data" << ""
                                                 << rsaVerify;
    QTest::newRow("ecc sign, null library") << "EccSignData" << true << "" << false << "data" << "" << eccSign;
    QTest::newRow("ecc sign, null container") << "EccSignData" << false << "" << true << "data" << "" << eccSign;
    QTest::newRow("ecc sign, empty data") << "EccSignData" << false << "" << false << "" << "" << eccSign;
    QTest::newRow("ecc verify, null library") << "EccVerifyData" << true << "" << false << "data" << ""
                                              << eccVerify;
    QTest::newRow("ecc verify, null container") << "EccVerifyData" << false << "" << true << "data" << ""
                                                << eccVerify;
    QTest::newRow("ecc verify, empty data") << "EccVerifyData" << false << "" << false << "" << "" << eccVerify;
}

void TestFunctest::refusalsComeBeforeAnyCall()
{
    QFETCH(QString, test);
    QFETCH(bool, nullLib);
    QFETCH(QString, devName);
    QFETCH(bool, nullCon);
    QFETCH(QString, data);
    QFETCH(QString, signature);
    QFETCH(QString, expected);

    FakeToken &token = fake();
    QCOMPARE(runTest(test, nullLib ? nullptr : token.lib, devName, &m_anyDev, nullCon ? nullptr : &m_anyCon, data,
                     signature),
             expected);
    QCOMPARE(token.calls(), QString());
}

void TestFunctest::missingFunctionMakesNoCall_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<QString>("omitted");
    QTest::addColumn<QString>("expected");

    const QMap<QString, QString> messages = {
        {"EncryptData", msg("无法解析库函数，不能检测数据加密功能")},
        {"DecryptData", msg("无法解析库函数，不能检测数据解密功能")},
        {"RsaSignData", msg("无法解析库函数，不能检测数据RSA签名功能")},
        {"RsaVerifyData", msg("无法解析库函数，不能检测数据RSA验签功能")},
        {"EccSignData", msg("无法解析库函数，不能检测数据ECC签名功能")},
        {"EccVerifyData", msg("无法解析库函数，不能检测数据ECC验签功能")},
    };
    for (auto it = messages.cbegin(); it != messages.cend(); ++it) {
        for (const QString &fn : callSequence(it.key())) {
            if (fn == "SKF_ConnectDev")
                continue;
            QTest::newRow(qPrintable(it.key() + " without " + fn)) << it.key() << fn << "-2#" + it.value();
        }
    }
}

void TestFunctest::missingFunctionMakesNoCall()
{
    QFETCH(QString, test);
    QFETCH(QString, omitted);
    QFETCH(QString, expected);

    FakeToken &token = fake(omitted);
    QVERIFY(!dlsym(token.lib, qPrintable(omitted)));
    QCOMPARE(runTest(test, token.lib, "dev", &m_anyDev, &m_anyCon, "data", "sig"), expected);
    QCOMPARE(token.calls(), QString());
}

void TestFunctest::unconnectableDevice_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<bool>("standin");
    QTest::addColumn<QString>("devName");
    QTest::addColumn<QString>("expected");

    const QString enc = "-4#" + msg("无法连接设备，不能检测数据加密功能");
    const QString dec = "-4#" + msg("无法连接设备，不能检测数据解密功能");
    QTest::newRow("encrypt, unknown device") << "EncryptData" << true << "NO_SUCH_DEVICE" << enc;
    QTest::newRow("decrypt, unknown device") << "DecryptData" << true << "NO_SUCH_DEVICE" << dec;
    QTest::newRow("encrypt, no handle stored") << "EncryptData" << false << "absent" << enc;
    QTest::newRow("decrypt, no handle stored") << "DecryptData" << false << "absent" << dec;
}

void TestFunctest::unconnectableDevice()
{
    QFETCH(QString, test);
    QFETCH(bool, standin);
    QFETCH(QString, devName);
    QFETCH(QString, expected);

    FakeToken &token = fake();
    QCOMPARE(runTest(test, standin ? m_standin : token.lib, devName, nullptr, nullptr, "data"), expected);
    if (!standin)
        QCOMPARE(token.calls(), QString("SKF_ConnectDev;"));
}

void TestFunctest::failedCallReportsItsCode_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<QString>("failing");
    QTest::addColumn<ULONG>("code");
    QTest::addColumn<QString>("message");

    struct Row {
        const char *test;
        const char *failing;
        const char *message;
    };
    const Row rows[] = {
        {"EncryptData", "SKF_SetSymmKey", "无法设置密钥，不能检测数据加密功能，返回的错误码："},
        {"EncryptData", "SKF_EncryptInit", "无法完成数据加密，加密初始化失败，返回错误码："},
        {"EncryptData", "SKF_Encrypt", "无法完成数据加密，加密更新失败，返回错误码："},
        {"DecryptData", "SKF_SetSymmKey", "无法设置密钥，不能检测数据解密功能，返回的错误码："},
        {"DecryptData", "SKF_DecryptInit", "无法完成数据解密，解密初始化失败，返回错误码："},
        {"DecryptData", "SKF_Decrypt", "无法完成数据解密，解密更新失败，返回错误码："},
        {"RsaSignData", "SKF_RSASignData", "RSA数据签名失败，返回的错误码："},
        {"RsaVerifyData", "SKF_ExportPublicKey", "RSA数据签名失败，导出公钥返回的错误码："},
        {"RsaVerifyData", "SKF_RSAVerify", "RSA数据签名失败，返回的错误码："},
        {"EccSignData", "SKF_ExportPublicKey", "ECC数据签名失败，导出公钥返回的错误码："},
        {"EccSignData", "SKF_DigestInit", "ECC数据验签失败，杂凑初始化返回的错误码："},
        {"EccSignData", "SKF_Digest", "ECC数据签名失败，杂凑返回的错误码："},
        {"EccSignData", "SKF_ECCSignData", "ECC数据签名失败，返回的错误码："},
        {"EccVerifyData", "SKF_ExportPublicKey", "ECC数据验签失败，导出公钥返回的错误码："},
        {"EccVerifyData", "SKF_DigestInit", "ECC数据验签失败，杂凑初始化返回的错误码："},
        {"EccVerifyData", "SKF_Digest", "ECC数据签名失败，杂凑返回的错误码："},
        {"EccVerifyData", "SKF_ECCVerify", "ECC数据验签失败，返回的错误码："},
    };
    for (const Row &row : rows) {
        QTest::newRow(qPrintable(QString("%1, %2 fails").arg(row.test, row.failing)))
            << row.test << row.failing << kFailCode << msg(row.message);
    }
    // Codes are the token's unsigned ULONG, never shown with a sign.
    QTest::newRow("EncryptData, all-ones code") << "EncryptData" << "SKF_Encrypt" << ~ULONG(0)
                                                << msg("无法完成数据加密，加密更新失败，返回错误码：");
    QTest::newRow("EccSignData, SAR code") << "EccSignData" << "SKF_ECCSignData" << ULONG(SAR_USER_NOT_LOGGED_IN)
                                           << msg("ECC数据签名失败，返回的错误码：");
}

void TestFunctest::failedCallReportsItsCode()
{
    QFETCH(QString, test);
    QFETCH(QString, failing);
    QFETCH(ULONG, code);
    QFETCH(QString, message);

    FakeToken &token = fake();
    token.fail(qPrintable(failing), code);
    const QString c = QString::number(static_cast<qulonglong>(code));
    QCOMPARE(runTest(test, token.lib, "dev", &m_anyDev, &m_anyCon, "data", "sig"), c + "#" + message + c);

    // The test stops at the failing call.
    QStringList expectedCalls = callSequence(test);
    expectedCalls = expectedCalls.mid(0, expectedCalls.indexOf(failing) + 1);
    QCOMPARE(token.calls(), joinedCalls(expectedCalls));
}

void TestFunctest::cipherArgumentsReachTheToken()
{
    FakeToken &token = fake();
    const QString encrypted = Utils::EncryptData(token.lib, QString("dev") + QChar(0x4e2d), "AB\u00e9");
    QCOMPARE(encrypted, "0#" + latin1(counting(0, 32)));
    QCOMPARE(token.calls(), joinedCalls(callSequence("EncryptData")));
    // Names go to the token as UTF-8, the encoding its name lists are read in.
    QCOMPARE(token.record("SKF_ConnectDev.szName"), QByteArray("dev\xe4\xb8\xad"));
    QCOMPARE(token.record("SKF_SetSymmKey.pbKey"), QByteArray(32, '\0'));
    QCOMPARE(token.record("SKF_SetSymmKey.ulAlgID"), rawBytes(ULONG(SGD_SM1_ECB)));

    BLOCKCIPHERPARAM param;
    std::memset(&param, 0, sizeof param);
    std::memcpy(param.IV, "8405172639051824", 16);
    param.IVLen = 16;
    param.PaddingType = 1;
    param.FeedBitLen = 32;
    QCOMPARE(token.record("SKF_EncryptInit.EncryptParam"), rawBytes(param));
    QCOMPARE(token.handleRecord("SKF_EncryptInit.hKey"), token.handleRecord("SKF_Encrypt.hKey"));
    QCOMPARE(token.record("SKF_Encrypt.pbData"), QByteArray("AB\xe9"));
    QCOMPARE(token.record("SKF_Encrypt.capacity"), rawBytes(ULONG(128)));

    // The cipher text comes back byte for byte, zero bytes and "#" included.
    token.reset();
    QCOMPARE(Utils::DecryptData(token.lib, "dev", encrypted.mid(2)), "0#" + latin1(counting(0, 32)));
    QCOMPARE(token.calls(), joinedCalls(callSequence("DecryptData")));
    QCOMPARE(token.record("SKF_SetSymmKey.pbKey"), QByteArray(32, '\0'));
    QCOMPARE(token.record("SKF_DecryptInit.DecryptParam"), rawBytes(param));
    QCOMPARE(token.record("SKF_Decrypt.pbEncryptedData"), counting(0, 32));
    QCOMPARE(token.record("SKF_Decrypt.capacity"), rawBytes(ULONG(128)));
}

void TestFunctest::rsaArgumentsReachTheToken()
{
    FakeToken &token = fake();
    const QString text = QString::fromUtf8("é#");
    QCOMPARE(Utils::RsaSignData(token.lib, &m_anyCon, text), "0#" + latin1(counting(0, 32)));
    QCOMPARE(token.handleRecord("SKF_RSASignData.hContainer"), static_cast<void *>(&m_anyCon));
    // Signed as UTF-8 bytes, in a zero-filled 64-byte buffer.
    QCOMPARE(token.record("SKF_RSASignData.pbData"), QByteArray("\xc3\xa9#"));
    QCOMPARE(token.record("SKF_RSASignData.buffer"), QByteArray("\xc3\xa9#") + QByteArray(61, '\0'));
    QCOMPARE(token.record("SKF_RSASignData.capacity"), rawBytes(ULONG(128)));

    // 64 bytes is the most that is signed.
    token.reset();
    QCOMPARE(Utils::RsaSignData(token.lib, &m_anyCon, QString(64, 'x')).left(2), QString("0#"));
    QCOMPARE(token.record("SKF_RSASignData.pbData"), QByteArray(64, 'x'));

    // Verified as Latin-1 bytes; the one handle goes to both calls; an empty data text
    // is not refused.
    for (const QString &data : {text, QString()}) {
        token.reset();
        QCOMPARE(Utils::RsaVerifyData(token.lib, &m_anyCon, data, QString::fromLatin1("s\xff")), QString("0"));
        QCOMPARE(token.calls(), joinedCalls(callSequence("RsaVerifyData")));
        QCOMPARE(token.handleRecord("SKF_ExportPublicKey.hContainer"), static_cast<void *>(&m_anyCon));
        QCOMPARE(token.handleRecord("SKF_RSAVerify.hDev"), static_cast<void *>(&m_anyCon));
        QCOMPARE(token.record("SKF_ExportPublicKey.bSignFlag"), rawBytes(BOOL(TRUE)));
        QCOMPARE(token.record("SKF_ExportPublicKey.capacity"), rawBytes(ULONG(280)));
        QCOMPARE(token.record("SKF_RSAVerify.pbData"), data.toLatin1());
        QCOMPARE(token.record("SKF_RSAVerify.pbSignature"), QByteArray("s\xff"));
        // The exported key is handed on unchanged.
        const QByteArray key = token.record("SKF_RSAVerify.pRSAPubKeyBlob");
        QCOMPARE(key.size(), 280);
        QCOMPARE(key.mid(4, 128), counting(4, 128));
    }
}

void TestFunctest::eccArgumentsReachTheToken()
{
    FakeToken &token = fake();
    const QString signature = Utils::EccSignData(token.lib, &m_anyDev, &m_anyCon, "ab\u00ff");
    QCOMPARE(signature, "0#" + latin1(counting(0, 64)) + "#" + latin1(counting(64, 64)));
    QCOMPARE(signature.size(), 131);
    QCOMPARE(signature.at(66), QChar('#'));
    QCOMPARE(token.calls(), joinedCalls(callSequence("EccSignData")));
    QCOMPARE(token.handleRecord("SKF_ExportPublicKey.hContainer"), static_cast<void *>(&m_anyCon));
    QCOMPARE(token.record("SKF_ExportPublicKey.bSignFlag"), rawBytes(BOOL(TRUE)));
    QCOMPARE(token.record("SKF_ExportPublicKey.capacity"), rawBytes(ULONG(256)));

    // The digest gets the exported key in its own blob: the 4-byte bit length widened to
    // ULONG, X from bytes 4 to 67, Y from bytes 68 to 131.
    ECCPUBLICKEYBLOB key;
    std::memset(&key, 0, sizeof key);
    key.BitLen = 256;
    const QByteArray exported = counting(4, 128);
    std::memcpy(key.XCoordinate, exported.constData(), 64);
    std::memcpy(key.YCoordinate, exported.constData() + 64, 64);
    QCOMPARE(token.record("SKF_DigestInit.pPubKey"), rawBytes(key));
    QCOMPARE(token.handleRecord("SKF_DigestInit.hDev"), static_cast<void *>(&m_anyDev));
    QCOMPARE(token.record("SKF_DigestInit.ulAlgID"), rawBytes(ULONG(SGD_SM3)));
    QCOMPARE(token.record("SKF_DigestInit.pucID"), QByteArray("1234567812345678"));
    QCOMPARE(token.record("SKF_Digest.pbData"), QByteArray("ab\xff"));
    QCOMPARE(token.record("SKF_ECCSignData.pbData"), counting(0, 32));

    // Verification checks the signature just made, with the export itself as the key.
    token.reset();
    QCOMPARE(Utils::EccVerifyData(token.lib, &m_anyDev, &m_anyCon, "ab\u00ff"), QString("0"));
    QCOMPARE(token.calls(), joinedCalls(callSequence("EccVerifyData")));
    QCOMPARE(token.record("SKF_DigestInit.pPubKey"), rawBytes(key));
    QCOMPARE(token.handleRecord("SKF_ECCVerify.hDev"), static_cast<void *>(&m_anyDev));
    QCOMPARE(token.record("SKF_ECCVerify.pSignature"), counting(0, 128));
    const unsigned int bitLen = 256;
    QCOMPARE(token.record("SKF_ECCVerify.pECCPubKeyBlob"),
             QByteArray(reinterpret_cast<const char *>(&bitLen), 4) + exported);
    QCOMPARE(token.record("SKF_ECCVerify.pbData"), counting(0, 32));

    // A null device handle is not refused: it goes to the token.
    token.reset();
    QCOMPARE(Utils::EccSignData(token.lib, nullptr, &m_anyCon, "abc").size(), 131);
    QCOMPARE(token.handleRecord("SKF_DigestInit.hDev"), static_cast<void *>(nullptr));
}

void TestFunctest::reportedLengthsStayInsideTheBuffers()
{
    FakeToken &token = fake();
    token.setReportedLen(500);
    QCOMPARE(Utils::EncryptData(token.lib, "dev", "data"), "0#" + latin1(counting(0, 128)));
    token.reset();
    token.setReportedLen(500);
    QCOMPARE(Utils::RsaSignData(token.lib, &m_anyCon, "data"), "0#" + latin1(counting(0, 128)));
    token.reset();
    token.setReportedLen(500);
    QCOMPARE(Utils::EccSignData(token.lib, &m_anyDev, &m_anyCon, "data").size(), 131);
    QCOMPARE(token.record("SKF_ECCSignData.pbData"), counting(0, 128));
}

void TestFunctest::encryptThenDecryptWithSm4_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<int>("cipherLength");

    QTest::newRow("1 byte") << "x" << 16;
    QTest::newRow("16 bytes: a whole padding block") << "0123456789abcdef" << 32;
    QTest::newRow("Latin-1, zero byte and #") << QString::fromLatin1("\xe9\xff#\0z", 5) << 16;
    QTest::newRow("112 bytes: the largest that fits") << QString(112, 'q') << 128;
    QTest::newRow("127 bytes") << QString(127, 'q') << 128;
}

void TestFunctest::encryptThenDecryptWithSm4()
{
    QFETCH(QString, data);
    QFETCH(int, cipherLength);

    const QString encrypted = Utils::EncryptData(m_standin, kDevice, data);
    QVERIFY2(encrypted.startsWith("0#"), qPrintable(encrypted));
    const QString cipher = encrypted.mid(2);
    QCOMPARE(cipher.size(), cipherLength);

    // SM4-ECB under the all-zero key with PKCS#5 padding, as OpenSSL computes it.
    const QByteArray plain = data.toLatin1();
    const unsigned char key[16] = {0};
    QByteArray expected(plain.size() + 16, '\0');
    int len = 0, finalLen = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    QVERIFY(EVP_EncryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, key, nullptr) == 1);
    QVERIFY(EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char *>(expected.data()), &len,
                              reinterpret_cast<const unsigned char *>(plain.constData()), plain.size())
            == 1);
    QVERIFY(EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(expected.data()) + len, &finalLen) == 1);
    EVP_CIPHER_CTX_free(ctx);
    expected.truncate(len + finalLen);
    QCOMPARE(bytesOf(cipher), expected);

    QCOMPARE(Utils::DecryptData(m_standin, kDevice, cipher), "0#" + data);
}

void TestFunctest::rsaSignThenVerify_data()
{
    QTest::addColumn<QString>("signedText");
    QTest::addColumn<QString>("verifiedText");
    QTest::addColumn<bool>("valid");

    QTest::newRow("same text") << "hello" << "hello" << true;
    QTest::newRow("64 bytes") << QString(64, 'z') << QString(64, 'z') << true;
    QTest::newRow("other text") << "hello" << "hellO" << false;
    // Signed as UTF-8, verified as Latin-1: the token sees different bytes.
    QTest::newRow("outside ASCII") << QString::fromUtf8("é") << QString::fromUtf8("é") << false;
}

void TestFunctest::rsaSignThenVerify()
{
    QFETCH(QString, signedText);
    QFETCH(QString, verifiedText);
    QFETCH(bool, valid);

    const QString signature = Utils::RsaSignData(m_standin, m_rsaCon, signedText);
    QVERIFY2(signature.startsWith("0#"), qPrintable(signature));
    const QByteArray sig = bytesOf(signature.mid(2));
    QCOMPARE(sig.size(), 128);

    // PKCS#1 v1.5 over the UTF-8 bytes, as OpenSSL recovers it with the exported key.
    QByteArray blob;
    QCOMPARE(exportPublicKey(m_rsaCon, blob), SAR_OK);
    QCOMPARE(blob.size(), int(sizeof(RSAPUBLICKEYBLOB)));
    RSAPUBLICKEYBLOB key;
    std::memcpy(&key, blob.constData(), sizeof key);
    QCOMPARE(key.BitLen, ULONG(1024));
    BIGNUM *modulus = BN_bin2bn(key.Modulus + 128, 128, nullptr);
    BIGNUM *exponent = BN_bin2bn(key.PublicExponent, 4, nullptr);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, modulus);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, exponent);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY *rsa = nullptr;
    EVP_PKEY_CTX *keyCtx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY_fromdata_init(keyCtx);
    EVP_PKEY_fromdata(keyCtx, &rsa, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX *recoverCtx = EVP_PKEY_CTX_new(rsa, nullptr);
    QByteArray recovered(128, '\0');
    size_t n = recovered.size();
    const bool recoveredOk = recoverCtx && EVP_PKEY_verify_recover_init(recoverCtx) == 1
        && EVP_PKEY_CTX_set_rsa_padding(recoverCtx, RSA_PKCS1_PADDING) == 1
        && EVP_PKEY_verify_recover(recoverCtx, reinterpret_cast<unsigned char *>(recovered.data()), &n,
                                   reinterpret_cast<const unsigned char *>(sig.constData()), sig.size()) == 1;
    EVP_PKEY_CTX_free(recoverCtx);
    EVP_PKEY_CTX_free(keyCtx);
    EVP_PKEY_free(rsa);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(modulus);
    BN_free(exponent);
    QVERIFY(recoveredOk);
    QCOMPARE(recovered.left(int(n)), signedText.toUtf8());

    const QString result = Utils::RsaVerifyData(m_standin, m_rsaCon, verifiedText, signature.mid(2));
    QCOMPARE(result, valid ? QString("0") : failureText(SAR_FAIL, "RSA数据签名失败，返回的错误码："));
}

void TestFunctest::eccSignatureIsARealSm2Signature()
{
    const QString data = QString::fromLatin1("message to sign \xe9#");
    const QString signature = Utils::EccSignData(m_standin, m_hDev, m_sm2Con, data);
    QVERIFY2(signature.startsWith("0#"), qPrintable(signature));
    QCOMPARE(signature.size(), 131);
    QCOMPARE(signature.at(66), QChar('#'));
    const QByteArray r = bytesOf(signature.mid(2, 64));
    const QByteArray s = bytesOf(signature.mid(67, 64));
    QCOMPARE(r.left(32), QByteArray(32, '\0'));
    QCOMPARE(s.left(32), QByteArray(32, '\0'));

    QCOMPARE(Utils::EccVerifyData(m_standin, m_hDev, m_sm2Con, data), QString("0"));
    QCOMPARE(Utils::EccVerifyData(m_standin, m_hDev, m_sm2Con, data + "!"),
             failureText(SAR_FAIL, "ECC数据验签失败，返回的错误码："));

    // OpenSSL's own SM2 accepts it as the signature of the data under the default ID.
    QByteArray exported;
    QCOMPARE(exportPublicKey(m_sm2Con, exported), SAR_OK);
    QCOMPARE(exported.size(), 132);
    const QByteArray x = exported.mid(4 + 32, 32), y = exported.mid(68 + 32, 32);
    auto oracle = [&](const QByteArray &message) {
        return QProcess::execute(SM2ORACLE, {x.toHex(), y.toHex(), r.mid(32).toHex(), s.mid(32).toHex(),
                                             message.toHex(), QByteArray("1234567812345678").toHex()});
    };
    QCOMPARE(oracle(data.toLatin1()), 0);
    QCOMPARE(oracle(data.toLatin1() + "!"), 1);
}

void TestFunctest::tokenRefusalsCarryItsCode_data()
{
    QTest::addColumn<QString>("test");
    QTest::addColumn<bool>("lockedApp");
    QTest::addColumn<bool>("rsaContainer");
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("expected");

    QTest::newRow("rsa sign without the user PIN")
        << "RsaSignData" << true << true << "data" << failureText(SAR_USER_NOT_LOGGED_IN, "RSA数据签名失败，返回的错误码：");
    QTest::newRow("ecc sign without the user PIN")
        << "EccSignData" << true << false << "data" << failureText(SAR_USER_NOT_LOGGED_IN, "ECC数据签名失败，返回的错误码：");
    QTest::newRow("rsa sign with an SM2 key")
        << "RsaSignData" << false << false << "data" << failureText(SAR_KEYNOTFOUNTERR, "RSA数据签名失败，返回的错误码：");
    // An RSA public key does not fit the 256 bytes kept for an ECC export.
    QTest::newRow("ecc sign with an RSA key")
        << "EccSignData" << false << true << "data"
        << failureText(SAR_BUFFER_TOO_SMALL, "ECC数据签名失败，导出公钥返回的错误码：");
    QTest::newRow("ecc verify with an RSA key")
        << "EccVerifyData" << false << true << "data"
        << failureText(SAR_BUFFER_TOO_SMALL, "ECC数据验签失败，导出公钥返回的错误码：");
    // 128 bytes encrypt to 144, more than the 128-byte output buffer holds.
    QTest::newRow("encrypt 128 bytes")
        << "EncryptData" << false << false << QString(128, 'q')
        << failureText(SAR_BUFFER_TOO_SMALL, "无法完成数据加密，加密更新失败，返回错误码：");
}

void TestFunctest::tokenRefusalsCarryItsCode()
{
    QFETCH(QString, test);
    QFETCH(bool, lockedApp);
    QFETCH(bool, rsaContainer);
    QFETCH(QString, data);
    QFETCH(QString, expected);

    void *hCon = lockedApp ? (rsaContainer ? m_lockedRsaCon : m_lockedSm2Con) : (rsaContainer ? m_rsaCon : m_sm2Con);
    QCOMPARE(runTest(test, m_standin, kDevice, m_hDev, hCon, data), expected);
}

QTEST_GUILESS_MAIN(TestFunctest)
#include "test_functest.moc"
