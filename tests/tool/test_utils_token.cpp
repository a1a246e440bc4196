// The token access layer: against a scripted library for exact arguments and results,
// against a library without functions, and against the token stand-in itself.

#include <dlfcn.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <functional>

#include "fakeskf_state.h"
#include "utils.h"

namespace {

// One wrapper call with its result written as text, so that a table can hold any wrapper.
struct WrapperCall {
    const char *name;
    std::function<QString(void *lib, void *h)> call;
    QString nullLibrary; // result with a null library handle
    QString missing;     // result with a library that lacks the function
};

QString text(void *handle)
{
    return handle ? "handle" : "null";
}

QString text(const QList<QString> &list)
{
    return "[" + QStringList(list).join(",") + "]";
}

QString text(ULONG n)
{
    return QString::number(n);
}

QString text(const Struct_DEVINFO &info)
{
    static const Struct_DEVINFO zero = {};
    return memcmp(&info, &zero, sizeof info) == 0 ? "zero" : "filled";
}

const QList<WrapperCall> &wrapperCalls()
{
    static const QList<WrapperCall> calls = {
        {"OpenDev", [](void *l, void *) { return text(Utils::OpenDev(l, "dev")); }, "null", "null"},
        {"EnmuDevList", [](void *l, void *) { return text(Utils::EnmuDevList(l)); }, "[]", "[]"},
        {"EnmuAppList", [](void *l, void *h) { return text(Utils::EnmuAppList(l, h)); }, "[]", "[]"},
        {"OpenApplication", [](void *l, void *h) { return text(Utils::OpenApplication(l, h, "app")); }, "null", "null"},
        {"EnmuContainer", [](void *l, void *h) { return text(Utils::EnmuContainer(l, h)); }, "[]", "[]"},
        {"OpenContainer", [](void *l, void *h) { return text(Utils::OpenContainer(l, h, "con")); }, "null", "null"},
        {"ExportCertificate", [](void *l, void *h) { return text(Utils::ExportCertificate(l, h, true)); }, "[]", "[]"},
        {"CloseContainer", [](void *l, void *h) { return text(Utils::CloseContainer(l, h)); }, "1000", "3"},
        {"CloseApplication", [](void *l, void *h) { return text(Utils::CloseApplication(l, h)); }, "1", "3"},
        {"VerifyPin", [](void *l, void *h) { return text(Utils::VerifyPin(l, h, "1234")); }, "1000", "3"},
        {"VerifyAdminPin", [](void *l, void *h) { return text(Utils::VerifyAdminPin(l, h, "1234")); }, "1000", "3"},
        {"ChangePin", [](void *l, void *h) { return text(Utils::ChangePin(l, h, "1", "2")); }, "1000", "3"},
        {"UnblockPIN", [](void *l, void *h) { return text(Utils::UnblockPIN(l, h, "1", "2")); }, "1000", "3"},
        {"GetDevInfo", [](void *l, void *h) { return text(Utils::GetDevInfo(l, h)); }, "zero", "zero"},
        {"GetContainerType", [](void *l, void *h) { return text(Utils::GetContainerType(l, h)); }, "1000", "3"},
        {"SetLabel", [](void *l, void *h) { return text(Utils::SetLabel(l, h, "label")); }, "1000", "1"},
        {"DeleteApplication", [](void *l, void *h) { return text(Utils::DeleteApplication(l, h, "app")); }, "1", "1"},
        {"CreateApplication",
         [](void *l, void *h) { return text(Utils::CreateApplication(l, h, "app", "a", "5", "u", "5")); }, "null",
         "null"},
    };
    return calls;
}

QString envPath(const char *var, const QString &file)
{
    return QString::fromLocal8Bit(qgetenv(var)) + "/" + file;
}

} // namespace

class TestUtilsToken : public QObject
{
    Q_OBJECT

private:
    void *m_fake = nullptr;
    void *m_empty = nullptr;
    FakeSkfState *m_state = nullptr;
    char m_object = 0; // stands for an object handle of the scripted library
    void *object() { return &m_object; }

    void script(ULONG result, ULONG retries = 0)
    {
        *m_state = FakeSkfState();
        m_state->result = result;
        m_state->retries = retries;
    }

    void setNames(const QByteArray &bytes)
    {
        memcpy(m_state->names, bytes.constData(), static_cast<size_t>(bytes.size()));
        m_state->namesLength = static_cast<ULONG>(bytes.size());
    }

private slots:
    void initTestCase()
    {
        m_fake = dlopen(qPrintable(envPath("MV_FAKESKF_DIR", "libfakeskf_library.so")), RTLD_LAZY | RTLD_GLOBAL);
        QVERIFY2(m_fake, dlerror());
        m_empty = dlopen(qPrintable(envPath("MV_FAKESKF_DIR", "libfakeskf_empty.so")), RTLD_LAZY | RTLD_LOCAL);
        QVERIFY2(m_empty, dlerror());
        auto stateFn = reinterpret_cast<FakeSkfState *(*)()>(dlsym(m_fake, "fakeskf_state"));
        QVERIFY(stateFn);
        m_state = stateFn();
    }

    // Null library handle, null object handle and missing function: fixed results and no
    // call reaches the library.
    void refusalsReachNoFunction()
    {
        for (const WrapperCall &w : wrapperCalls()) {
            script(SAR_OK);
            QCOMPARE(w.call(nullptr, object()), w.nullLibrary);
            QCOMPARE(w.call(m_empty, object()), w.missing);
            QVERIFY2(m_state->calls == 0, w.name);
        }
        const struct {
            const char *name;
            std::function<QString(void *)> call;
            QString expected;
        } nullObject[] = {
            {"EnmuAppList", [](void *l) { return text(Utils::EnmuAppList(l, nullptr)); }, "[]"},
            {"OpenContainer", [](void *l) { return text(Utils::OpenContainer(l, nullptr, "c")); }, "null"},
            {"ExportCertificate", [](void *l) { return text(Utils::ExportCertificate(l, nullptr, false)); }, "[]"},
            {"CloseContainer", [](void *l) { return text(Utils::CloseContainer(l, nullptr)); }, "1000"},
            {"CloseApplication", [](void *l) { return text(Utils::CloseApplication(l, nullptr)); }, "1"},
            {"VerifyPin", [](void *l) { return text(Utils::VerifyPin(l, nullptr, "1")); }, "1000"},
            {"ChangePin", [](void *l) { return text(Utils::ChangePin(l, nullptr, "1", "2")); }, "1000"},
            {"GetDevInfo", [](void *l) { return text(Utils::GetDevInfo(l, nullptr)); }, "zero"},
            {"GetContainerType", [](void *l) { return text(Utils::GetContainerType(l, nullptr)); }, "1000"},
            {"OpenDev (empty name)", [](void *l) { return text(Utils::OpenDev(l, QString())); }, "null"},
            {"OpenApplication (empty name)", [](void *l) { return text(Utils::OpenApplication(l, nullptr, "")); },
             "null"},
        };
        for (const auto &c : nullObject) {
            script(SAR_OK);
            QCOMPARE(c.call(m_fake), c.expected);
            QVERIFY2(m_state->calls == 0, c.name);
        }
    }

    void pinResultRule_data()
    {
        QTest::addColumn<int>("wrapper");
        QTest::addColumn<ULONG>("result");
        QTest::addColumn<ULONG>("retries");
        QTest::addColumn<ULONG>("expected");
        const char *names[] = {"VerifyPin", "VerifyAdminPin", "ChangePin", "UnblockPIN"};
        for (int w = 0; w < 4; ++w) {
            QTest::addRow("%s accepted", names[w]) << w << ULONG(SAR_OK) << ULONG(7) << ULONG(0);
            QTest::addRow("%s 5 left", names[w]) << w << ULONG(SAR_PIN_INCORRECT) << ULONG(5) << ULONG(5);
            QTest::addRow("%s none left", names[w]) << w << ULONG(SAR_PIN_LOCKED) << ULONG(0) << ULONG(999);
            QTest::addRow("%s other failure", names[w]) << w << ULONG(SAR_FAIL) << ULONG(0) << ULONG(999);
        }
    }

    void pinResultRule()
    {
        QFETCH(int, wrapper);
        QFETCH(ULONG, result);
        QFETCH(ULONG, retries);
        QFETCH(ULONG, expected);
        script(result, retries);
        ULONG got = 0;
        switch (wrapper) {
        case 0: got = Utils::VerifyPin(m_fake, object(), "1234"); break;
        case 1: got = Utils::VerifyAdminPin(m_fake, object(), "1234"); break;
        case 2: got = Utils::ChangePin(m_fake, object(), "1234", "5678"); break;
        default: got = Utils::UnblockPIN(m_fake, object(), "1234", "5678"); break;
        }
        QCOMPARE(got, expected);
        QCOMPARE(m_state->calls, 1);
        if (wrapper < 3)
            QCOMPARE(m_state->type, ULONG(wrapper == 1 ? ADMIN_TYPE : USER_TYPE));
    }

    // PINs travel in zero-filled 64-byte buffers: 63 Latin-1 bytes and a NUL at most; a
    // longer PIN is refused before the library sees it.
    void pinBuffers()
    {
        script(SAR_OK);
        const QString pin63(63, QChar('7'));
        QCOMPARE(Utils::VerifyPin(m_fake, object(), pin63), ULONG(0));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(m_state->pin), 63), pin63.toLatin1());
        QCOMPARE(m_state->pin[63], BYTE(0));

        // Latin-1 text goes as its exact Latin-1 bytes, one a character.
        QCOMPARE(Utils::ChangePin(m_fake, object(), QString::fromUtf8("pässwörd"), "ab"), ULONG(0));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(m_state->pin)), QByteArray("p\xe4ssw\xf6rd"));
        for (int i = 8; i < 64; ++i)
            QCOMPARE(m_state->pin[i], BYTE(0));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(m_state->pin2)), QByteArray("ab"));

        script(SAR_OK);
        const QString pin64(64, QChar('7'));
        QCOMPARE(Utils::VerifyPin(m_fake, object(), pin64), ULONG(SAR_PIN_LEN_RANGE));
        QCOMPARE(Utils::VerifyAdminPin(m_fake, object(), pin64), ULONG(SAR_PIN_LEN_RANGE));
        QCOMPARE(Utils::ChangePin(m_fake, object(), "old", pin64), ULONG(SAR_PIN_LEN_RANGE));
        QCOMPARE(Utils::UnblockPIN(m_fake, object(), pin64, "new"), ULONG(SAR_PIN_LEN_RANGE));
        QCOMPARE(Utils::CreateApplication(m_fake, object(), "app", pin64, "5", "u", "5"), nullptr);
        QCOMPARE(Utils::OpenApplication(m_fake, object(), pin64), nullptr);
        QCOMPARE(m_state->calls, 0);

        // The application name given to OpenApplication takes the same buffer, as UTF-8.
        QVERIFY(Utils::OpenApplication(m_fake, object(), QString(63, QChar('n'))) != nullptr);
        QCOMPARE(m_state->appName[62], BYTE('n'));
        QCOMPARE(m_state->appName[63], BYTE(0));
        script(SAR_OK);
        QCOMPARE(Utils::OpenApplication(m_fake, object(), QString(21, QChar(0x5e94)) + "n"), nullptr);
        QCOMPARE(m_state->calls, 0);
    }

    // A PIN holding a character outside Latin-1 would reach the token as "?" bytes, which
    // every other such PIN of its length matches: each PIN wrapper refuses it, in either
    // place, without calling the library.
    void pinsOutsideLatin1_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        const QString chinese = QString::fromUtf8("密码");
        const QString mixed = QString::fromUtf8("abc密1");
        QTest::newRow("Chinese first") << chinese << "ab";
        QTest::newRow("Chinese second") << "ab" << chinese;
        QTest::newRow("mixed first") << mixed << "ab";
        QTest::newRow("mixed second") << "ab" << mixed;
        QTest::newRow("euro sign") << QString::fromUtf8("12€4") << "ab";
    }

    void pinsOutsideLatin1()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        script(SAR_OK);
        QCOMPARE(Utils::ChangePin(m_fake, object(), first, second), ULONG(SAR_PIN_INVALID));
        QCOMPARE(Utils::UnblockPIN(m_fake, object(), first, second), ULONG(SAR_PIN_INVALID));
        QCOMPARE(Utils::CreateApplication(m_fake, object(), "app", first, "5", second, "5"), nullptr);
        if (second == QLatin1String("ab")) {
            QCOMPARE(Utils::VerifyPin(m_fake, object(), first), ULONG(SAR_PIN_INVALID));
            QCOMPARE(Utils::VerifyAdminPin(m_fake, object(), first), ULONG(SAR_PIN_INVALID));
        }
        QCOMPARE(m_state->calls, 0);
    }

    // OpenDev and OpenContainer hand back whatever the library stored; OpenApplication and
    // CreateApplication only a handle of a call that succeeded.
    void handleResults()
    {
        script(SAR_FAIL);
        QVERIFY(Utils::OpenDev(m_fake, "d") != nullptr);
        QVERIFY(Utils::OpenContainer(m_fake, object(), "c") != nullptr);
        QCOMPARE(Utils::OpenApplication(m_fake, object(), "a"), nullptr);
        QCOMPARE(Utils::CreateApplication(m_fake, object(), "a", "p", "1", "q", "1"), nullptr);
        script(SAR_OK);
        m_state->storeHandle = false;
        QCOMPARE(Utils::OpenDev(m_fake, "d"), nullptr);
        QCOMPARE(Utils::OpenContainer(m_fake, object(), "c"), nullptr);
        // Names other than PINs have no limit of their own.
        script(SAR_OK);
        const QString longName(300, QChar('x'));
        Utils::OpenContainer(m_fake, object(), longName);
        QCOMPARE(QByteArray(m_state->name), longName.toLatin1());
    }

    // Names go back to the library as the UTF-8 bytes they are read in, so a name of the
    // token's own lists reaches it unchanged.
    void namesAsUtf8_data()
    {
        QTest::addColumn<int>("wrapper");
        for (const auto &w : {std::make_pair(0, "OpenDev"), std::make_pair(1, "OpenContainer"),
                              std::make_pair(2, "DeleteApplication"), std::make_pair(3, "CreateApplication"),
                              std::make_pair(4, "OpenApplication")})
            QTest::newRow(w.second) << w.first;
    }

    void namesAsUtf8()
    {
        QFETCH(int, wrapper);
        const QString name = QString::fromUtf8("容器一-é");
        script(SAR_OK);
        switch (wrapper) {
        case 0: Utils::OpenDev(m_fake, name); break;
        case 1: Utils::OpenContainer(m_fake, object(), name); break;
        case 2: Utils::DeleteApplication(m_fake, object(), name); break;
        case 3: Utils::CreateApplication(m_fake, object(), name, "p", "1", "q", "1"); break;
        default: Utils::OpenApplication(m_fake, object(), name); break;
        }
        QCOMPARE(m_state->calls, 1);
        const char *sent = wrapper == 4 ? reinterpret_cast<const char *>(m_state->appName) : m_state->name;
        QCOMPARE(QByteArray(sent), name.toUtf8());
    }

    // The label goes as GBK, the encoding the key page reads it in, and only when the
    // device information's 32-byte field can hold it.
    void labels_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<ULONG>("result");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("Chinese") << QString::fromUtf8("标签") << ULONG(0) << QByteArray("\xb1\xea\xc7\xa9");
        QTest::newRow("ASCII") << "zavrin" << ULONG(0) << QByteArray("zavrin");
        QTest::newRow("32 bytes") << QString(16, QChar(0x6807)) << ULONG(0)
                                  << QByteArray("\xb1\xea").repeated(16);
        QTest::newRow("33 bytes") << QString(16, QChar(0x6807)) + "x" << ULONG(SAR_NAMELENERR) << QByteArray();
        QTest::newRow("no GBK form") << QString::fromUtf8("ก") << ULONG(SAR_INVALIDPARAMERR) << QByteArray();
        QTest::newRow("emoji") << QString::fromUtf8("Key😀") << ULONG(SAR_INVALIDPARAMERR) << QByteArray();
    }

    void labels()
    {
        QFETCH(QString, label);
        QFETCH(ULONG, result);
        QFETCH(QByteArray, sent);
        script(SAR_OK);
        QCOMPARE(Utils::isTokenLabel(label), result == 0);
        QCOMPARE(Utils::SetLabel(m_fake, nullptr, label), result);
        QCOMPARE(m_state->calls, result == 0 ? 1 : 0);
        if (result == 0)
            QCOMPARE(QByteArray(m_state->name), sent);
    }

    void nameLists_data()
    {
        QTest::addColumn<QByteArray>("names");
        QTest::addColumn<ULONG>("reported");
        QTest::addColumn<QStringList>("expected");
        const QByteArray ab("A\0B\0\0", 5);
        QTest::newRow("whole list") << ab << ULONG(5) << QStringList{"A", "B"};
        QTest::newRow("length ends in the last name") << ab << ULONG(3) << QStringList{"A", "B"};
        QTest::newRow("length cuts the list") << ab << ULONG(2) << QStringList{"A"};
        QTest::newRow("three devices in order")
            << QByteArray("key-2\0key-10\0key-1\0\0", 20) << ULONG(20) << QStringList{"key-2", "key-10", "key-1"};
        QTest::newRow("starts with NUL") << QByteArray("\0A\0\0", 4) << ULONG(4) << QStringList{};
        // A library that reports more than the buffer holds is never read past the buffer.
        QTest::newRow("reported beyond the buffer") << QByteArray(1024, 'n') << ULONG(100000)
                                                    << QStringList{QString(512, QChar('n'))};
    }

    void nameLists()
    {
        QFETCH(QByteArray, names);
        QFETCH(ULONG, reported);
        QFETCH(QStringList, expected);
        script(SAR_OK);
        setNames(names);
        m_state->reportedLength = reported;
        QCOMPARE(QStringList(Utils::EnmuDevList(m_fake)), expected);
        QCOMPARE(m_state->bufferSize, ULONG(512));
        QCOMPARE(QStringList(Utils::EnmuAppList(m_fake, object())), expected);
        QCOMPARE(m_state->bufferSize, ULONG(512));
        if (names.size() < 1024 || reported <= 1024) {
            QCOMPARE(QStringList(Utils::EnmuContainer(m_fake, object())), expected);
        } else {
            QCOMPARE(Utils::EnmuContainer(m_fake, object()).value(0), QString(1024, QChar('n')));
        }
        QCOMPARE(m_state->bufferSize, ULONG(1024));
        m_state->result = SAR_FAIL;
        QVERIFY(Utils::EnmuDevList(m_fake).isEmpty());
        QVERIFY(Utils::EnmuAppList(m_fake, object()).isEmpty());
        QVERIFY(Utils::EnmuContainer(m_fake, object()).isEmpty());
    }

    void createApplicationArguments_data()
    {
        QTest::addColumn<QString>("retriesText");
        QTest::addColumn<ULONG>("passed");
        QTest::newRow("number") << "10" << ULONG(10);
        QTest::newRow("not a number") << "abc" << ULONG(0);
        QTest::newRow("minus one") << "-1" << ~ULONG(0);
    }

    void createApplicationArguments()
    {
        QFETCH(QString, retriesText);
        QFETCH(ULONG, passed);
        script(SAR_OK);
        QVERIFY(Utils::CreateApplication(m_fake, object(), "newapp", "adminpin", retriesText, "userpin", "6"));
        QCOMPARE(m_state->adminRetries, passed);
        QCOMPARE(m_state->userRetries, ULONG(6));
        QCOMPARE(m_state->rights, ULONG(SECURE_ADM_ACCOUNT));
        QCOMPARE(QByteArray(m_state->name), QByteArray("newapp"));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(m_state->pin)), QByteArray("adminpin"));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(m_state->pin2)), QByteArray("userpin"));
    }

    void otherResults()
    {
        script(SAR_OK);
        m_state->containerType = 2;
        QCOMPARE(Utils::GetContainerType(m_fake, object()), ULONG(2));
        m_state->result = SAR_INVALIDHANDLEERR;
        QCOMPARE(Utils::GetContainerType(m_fake, object()), ULONG(SAR_INVALIDHANDLEERR));
        QCOMPARE(Utils::CloseContainer(m_fake, object()), ULONG(SAR_INVALIDHANDLEERR));
        QCOMPARE(Utils::CloseApplication(m_fake, object()), ULONG(SAR_INVALIDHANDLEERR));
        QCOMPARE(Utils::DeleteApplication(m_fake, object(), "x"), ULONG(SAR_INVALIDHANDLEERR));
        // GetDevInfo hands back what the library left, whatever its result.
        strcpy(m_state->devInfo.Label, "LBL");
        QCOMPARE(QByteArray(Utils::GetDevInfo(m_fake, object()).Label), QByteArray("LBL"));
    }

    void exportCertificate()
    {
        script(SAR_OK);
        const QByteArray bytes("not a certificate, but bytes");
        memcpy(m_state->cert, bytes.constData(), static_cast<size_t>(bytes.size()));
        m_state->certLength = static_cast<ULONG>(bytes.size());
        QList<QString> sign = Utils::ExportCertificate(m_fake, object(), true);
        QCOMPARE(m_state->sign, BOOL(1));
        QCOMPARE(m_state->bufferSize, ULONG(2048));
        QCOMPARE(sign, (QList<QString>{QString::fromLatin1(bytes.toBase64()), "######1"}));
        QCOMPARE(Utils::ExportCertificate(m_fake, object(), false).value(1), QString("######0"));
        QCOMPARE(m_state->sign, BOOL(0));
        // A reported length beyond the buffer is not believed.
        m_state->reportedCertLength = 5000;
        QVERIFY(Utils::ExportCertificate(m_fake, object(), true).isEmpty());
        script(SAR_CERTNOTFOUNTERR);
        QVERIFY(Utils::ExportCertificate(m_fake, object(), true).isEmpty());
    }

    // The wrappers over the real stand-in, on a store provisioned with the mvtoken tool.
    void againstTheStandIn()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        qputenv("MVUKEY_STORE", (dir.path() + "/store").toLocal8Bit());
        const QString mvtoken = envPath("MV_BIN_DIR", "mvtoken");
        auto run = [&](const QStringList &args) {
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(mvtoken, args);
            return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        for (const char *dev : {"tok-b", "tok-a", "tok-absent"})
            QVERIFY(run({"init-device", dev, "--label", QString("L-") + dev, "--serial", "SER-1"}));
        QVERIFY(run({"insert", "tok-b"}));
        QVERIFY(run({"insert", "tok-a"}));
        QVERIFY(run({"create-app", "tok-a", "app-1", "--admin-pin", "admin1", "--user-pin", "user1",
                     "--user-retries", "3"}));
        QVERIFY(run({"create-app", "tok-a", "app-2", "--admin-pin", "admin2", "--user-pin", "user2"}));
        QVERIFY(run({"create-container", "tok-a", "app-1", "con-1", "--key", "sm2"}));
        QVERIFY(run({"issue-cert", "tok-a", "app-1", "con-1", "--sign", "--subject",
                     "/C=CN/O=Mirvale Test/OU=QA/CN=Token User/L=Hangzhou"}));

        void *lib = dlopen(qPrintable(envPath("MV_TOKEN_DIR", "libSKFAPI.so")), RTLD_LAZY | RTLD_GLOBAL);
        QVERIFY2(lib, dlerror());
        QCOMPARE(QStringList(Utils::EnmuDevList(lib)), (QStringList{"tok-b", "tok-a"}));
        QCOMPARE(Utils::OpenDev(lib, "tok-absent"), nullptr);
        void *hDev = Utils::OpenDev(lib, "tok-a");
        QVERIFY(hDev);
        QCOMPARE(QByteArray(Utils::GetDevInfo(lib, hDev).Label), QByteArray("L-tok-a"));
        QCOMPARE(QStringList(Utils::EnmuAppList(lib, hDev)), (QStringList{"app-1", "app-2"}));
        void *hApp = Utils::OpenApplication(lib, hDev, "app-1");
        QVERIFY(hApp);
        QCOMPARE(Utils::OpenApplication(lib, hDev, "app-9"), nullptr);
        QCOMPARE(QStringList(Utils::EnmuContainer(lib, hApp)), QStringList{"con-1"});
        void *hCon = Utils::OpenContainer(lib, hApp, "con-1");
        QVERIFY(hCon);
        QCOMPARE(Utils::GetContainerType(lib, hCon), ULONG(2));

        const QList<QString> cert = Utils::ExportCertificate(lib, hCon, true);
        QCOMPARE(cert.size(), 2);
        QVERIFY(!QByteArray::fromBase64(cert[0].toLatin1()).isEmpty());
        const QStringList fields = cert[1].split('#');
        QCOMPARE(fields.size(), 7);
        QCOMPARE(fields[0], QString("v3"));
        QCOMPARE(fields[2], QString("C=CN, O=Mirvale Demo, CN=Mirvale Demo CA, "));
        QCOMPARE(fields[3], QString("C=CN, O=Mirvale Test, OU=QA, CN=Token User, L=Hangzhou, "));
        QCOMPARE(fields[6], QString("1"));
        QVERIFY(Utils::ExportCertificate(lib, hCon, false).isEmpty()); // no encryption certificate

        QCOMPARE(Utils::VerifyPin(lib, hApp, "user1"), ULONG(0));
        QCOMPARE(Utils::VerifyPin(lib, hApp, "wrong"), ULONG(2));
        QCOMPARE(Utils::VerifyPin(lib, hApp, "wrong"), ULONG(1));
        QCOMPARE(Utils::VerifyPin(lib, hApp, "wrong"), ULONG(999));
        QCOMPARE(Utils::ChangePin(lib, hApp, "user1", "user-new"), ULONG(999)); // blocked
        QCOMPARE(Utils::UnblockPIN(lib, hApp, "admin1", "user-new"), ULONG(0));
        QCOMPARE(Utils::ChangePin(lib, hApp, "user-new", "user-newer"), ULONG(0));
        QCOMPARE(Utils::VerifyPin(lib, hApp, "user-newer"), ULONG(0));

        // The format page's road: administrator PIN, label, delete the first application,
        // create a new one.
        QCOMPARE(Utils::VerifyAdminPin(lib, hApp, "admin1"), ULONG(0));
        QCOMPARE(Utils::SetLabel(lib, hDev, "Formatted"), ULONG(0));
        QCOMPARE(Utils::CloseContainer(lib, hCon), ULONG(0));
        QCOMPARE(Utils::CloseApplication(lib, hApp), ULONG(0));
        QCOMPARE(Utils::DeleteApplication(lib, hDev, "app-1"), ULONG(0));
        void *hNew = Utils::CreateApplication(lib, hDev, "fresh", "new-admin", "6", "new-user", "4");
        QVERIFY(hNew);
        QCOMPARE(Utils::VerifyPin(lib, hNew, "bad"), ULONG(3));
        QCOMPARE(QStringList(Utils::EnmuAppList(lib, hDev)), (QStringList{"app-2", "fresh"}));
        QCOMPARE(QByteArray(Utils::GetDevInfo(lib, hDev).Label), QByteArray("Formatted"));
        dlclose(lib);
    }
};

QTEST_GUILESS_MAIN(TestUtilsToken)
#include "test_utils_token.moc"
