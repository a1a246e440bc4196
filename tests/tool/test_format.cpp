// The format page over the stand-in token library: the order of its input checks, the
// administrator PIN verification, the checks made before the first application is
// deleted, and a successful format.
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <dlfcn.h>

#include <memory>

#include "format.h"
#include "msgtipcatcher.h"
#include "tokenstore.h"
#include "utils.h"

namespace {

// What a request leaves on the token.
constexpr int kUntouched = 0;
constexpr int kRelabelled = 1; // the new label only: the applications are as they were
constexpr int kFormatted = 2;

// The counts of the retries tips among the texts: none may be more than a token keeps.
QList<qulonglong> retryCounts(const QStringList &texts)
{
    QList<qulonglong> counts;
    const QRegularExpression count(QString::fromUtf8("剩余(\\d+)次"));
    for (const QString &text : texts) {
        const QRegularExpressionMatch m = count.match(text);
        if (m.hasMatch())
            counts << m.captured(1).toULongLong();
    }
    return counts;
}

// The retries left of an application's administrator PIN, as the store holds them.
int adminRetriesLeft(const QString &app)
{
    const QRegularExpression line("application " + QRegularExpression::escape(app) + " admin-retries=(\\d+)/");
    const QRegularExpressionMatch m = line.match(TokenStore::mvtoken({"list"}));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// The label as the key page reads it: GBK.
QString label(const Struct_DEVINFO &info)
{
    return Utils::convertCharToGBKStr(QByteArray(info.Label, int(qstrnlen(info.Label, sizeof(info.Label)))).constData());
}

} // namespace

class TestFormat : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void defaultTexts();
    void formatRequest_data();
    void formatRequest();
    void adminPinLength_data();
    void adminPinLength();

private:
    std::unique_ptr<TokenStore> store;
    std::unique_ptr<MsgTipCatcher> tips;
};

void TestFormat::init()
{
    store.reset(new TokenStore);
    tips.reset(new MsgTipCatcher);
}

void TestFormat::cleanup()
{
    tips.reset();
    store.reset();
}

void TestFormat::defaultTexts()
{
    Format page(nullptr);
    const QList<QPair<const char *, const char *>> defaults = {
        {"lineEdit_9", "zavrin"}, {"lineEdit", "APP"},     {"lineEdit_2", "735186"},
        {"lineEdit_3", "735186"}, {"lineEdit_4", "735186"}, {"lineEdit_5", "735186"},
        {"lineEdit_6", "735186"}, {"lineEdit_7", "10"},     {"lineEdit_8", "10"},
    };
    for (const auto &d : defaults) {
        auto *edit = page.findChild<QLineEdit *>(d.first);
        QVERIFY2(edit, d.first);
        QCOMPARE(edit->text(), QString::fromLatin1(d.second));
        QCOMPARE(edit->echoMode(), QLineEdit::Normal);
    }
    QCOMPARE(page.maximumSize(), QSize(800, 420));
    QCOMPARE(page.findChild<QPushButton *>("pushButton")->text(), QString::fromUtf8("格式化设备"));
}

void TestFormat::formatRequest_data()
{
    QTest::addColumn<QStringList>("edits");  // "objectName=text"
    QTest::addColumn<int>("adminRetries");   // of the token's application
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("outcome");

    const auto msg = [](const char *m) { return QStringList(QString::fromUtf8(m)); };
    const QList<QPair<const char *, const char *>> required = {
        {"lineEdit_9", "您未输入设备名字！"},       {"lineEdit", "您未输入APP名！"},
        {"lineEdit_2", "您未输入原管理员PIN码！"},   {"lineEdit_3", "您为输入新管理员PIN码！"},
        {"lineEdit_4", "您未输入确定管理员PIN码！"}, {"lineEdit_5", "您未输入新用户PIN码！"},
        {"lineEdit_6", "您未输入确定用户PIN码！"},   {"lineEdit_7", "您未输入管理员重复次数！"},
        {"lineEdit_8", "您未输入用户重复次数！"},
    };
    for (const auto &r : required)
        QTest::addRow("%s empty", r.first) << QStringList(QString::fromLatin1(r.first) + "=") << 10 << msg(r.second)
                                           << kUntouched;
    QTest::newRow("several empty: the first in order")
        << QStringList({"lineEdit_8=", "lineEdit_5=", "lineEdit_2="}) << 10 << msg("您未输入原管理员PIN码！") << kUntouched;
    QTest::newRow("admin PIN repeated in other case")
        << QStringList({"lineEdit_3=Abc123", "lineEdit_4=abc123"}) << 10 << msg("您输入的两次新管理员PIN码不一致！")
        << kUntouched;
    QTest::newRow("user PIN repeated differently") << QStringList({"lineEdit_6=735187"}) << 10
                                                   << msg("您输入的两次新用户PIN码不一致！") << kUntouched;
    QTest::newRow("both pairs differ: admin reported")
        << QStringList({"lineEdit_4=1", "lineEdit_6=2"}) << 10 << msg("您输入的两次新管理员PIN码不一致！") << kUntouched;
    QTest::newRow("admin PIN refused, retries left")
        << QStringList({"lineEdit_2=000000"}) << 3
        << QStringList({QString::fromUtf8("原PIN码校验失败,剩余2次机会，无法修改PIN码！"), QString::fromUtf8("您管理员PIN码错误！")})
        << kUntouched;
    QTest::newRow("admin PIN refused, no retry left")
        << QStringList({"lineEdit_2=000000"}) << 1
        << QStringList({QString::fromUtf8("原PIN码校验失败,剩余0次机会，无法修改PIN码！"), QString::fromUtf8("您管理员PIN码错误！")})
        << kUntouched;

    // Checked before the first application is deleted: the token stays as it was.
    const QString pin64(64, 'p');
    QTest::newRow("new admin PIN of 64 bytes") << QStringList({"lineEdit_3=" + pin64, "lineEdit_4=" + pin64}) << 10
                                               << msg("格式化设备失败！") << kUntouched;
    QTest::newRow("new user PIN of 64 bytes") << QStringList({"lineEdit_5=" + pin64, "lineEdit_6=" + pin64}) << 10
                                              << msg("格式化设备失败！") << kUntouched;
    QTest::newRow("retry count blank") << QStringList({"lineEdit_7= "}) << 10 << msg("格式化设备失败！") << kUntouched;
    QTest::newRow("retry count not a number") << QStringList({"lineEdit_8=abc"}) << 10 << msg("格式化设备失败！")
                                              << kUntouched;
    QTest::newRow("retry count zero") << QStringList({"lineEdit_7=0"}) << 10 << msg("格式化设备失败！") << kUntouched;
    QTest::newRow("retry count negative") << QStringList({"lineEdit_8=-1"}) << 10 << msg("格式化设备失败！") << kUntouched;
    // What the token refuses for a new application, and labels it cannot keep.
    QTest::newRow("admin retry count 256") << QStringList({"lineEdit_7=256"}) << 10 << msg("格式化设备失败！")
                                           << kUntouched;
    QTest::newRow("user retry count 1000") << QStringList({"lineEdit_8=1000"}) << 10 << msg("格式化设备失败！")
                                           << kUntouched;
    QTest::newRow("application name of 64 bytes") << QStringList({"lineEdit=" + QString(64, 'n')}) << 10
                                                  << msg("格式化设备失败！") << kUntouched;
    QTest::newRow("application name of 66 UTF-8 bytes")
        << QStringList({"lineEdit=" + QString(22, QChar(0x5e94))}) << 10 << msg("格式化设备失败！") << kUntouched;
    QTest::newRow("label without a GBK form") << QStringList({QString::fromUtf8("lineEdit_9=Keyก")}) << 10
                                              << msg("格式化设备失败！") << kUntouched;
    QTest::newRow("label of 33 GBK bytes") << QStringList({"lineEdit_9=" + QString(16, QChar(0x6807)) + "x"}) << 10
                                           << msg("格式化设备失败！") << kUntouched;

    // PINs the token cannot take as typed: refused before any token call.
    const QStringList charset(Utils::pinCharsetTip());
    QTest::newRow("new admin PIN in Chinese")
        << QStringList({QString::fromUtf8("lineEdit_3=密码"), QString::fromUtf8("lineEdit_4=密码")}) << 10 << charset
        << kUntouched;
    QTest::newRow("current admin PIN in Chinese") << QStringList({QString::fromUtf8("lineEdit_2=口令")}) << 1
                                                  << charset << kUntouched;
    QTest::newRow("new user PIN of mixed text")
        << QStringList({QString::fromUtf8("lineEdit_5=ab密1"), QString::fromUtf8("lineEdit_6=ab密1")}) << 10
        << charset << kUntouched;

    // The name of an application that stays: the token would refuse the creation.
    QTest::newRow("name of the second application") << QStringList({"lineEdit=APP2"}) << 10
                                                    << msg("格式化设备失败！") << kRelabelled;

    QTest::newRow("defaults") << QStringList() << 10 << msg("格式化设备成功！") << kFormatted;
    const QString pin63(63, 'q');
    QTest::newRow("new user PIN of 63 bytes") << QStringList({"lineEdit_5=" + pin63, "lineEdit_6=" + pin63}) << 10
                                              << msg("格式化设备成功！") << kFormatted;
    QTest::newRow("new user PIN in Latin-1")
        << QStringList({QString::fromUtf8("lineEdit_5=pässwörd"), QString::fromUtf8("lineEdit_6=pässwörd")}) << 10
        << msg("格式化设备成功！") << kFormatted;
    QTest::newRow("retry counts 255") << QStringList({"lineEdit_7=255", "lineEdit_8=255"}) << 10
                                      << msg("格式化设备成功！") << kFormatted;
    QTest::newRow("Chinese label and application name")
        << QStringList({QString::fromUtf8("lineEdit_9=中文标签"), QString::fromUtf8("lineEdit=测试应用")}) << 10
        << msg("格式化设备成功！") << kFormatted;
    QTest::newRow("label of 32 GBK bytes, name of 63 UTF-8 bytes")
        << QStringList({"lineEdit_9=" + QString(16, QChar(0x6807)), "lineEdit=" + QString(21, QChar(0x5e94))}) << 10
        << msg("格式化设备成功！") << kFormatted;
}

void TestFormat::formatRequest()
{
    QFETCH(QStringList, edits);
    QFETCH(int, adminRetries);
    QFETCH(QStringList, messages);
    QFETCH(int, outcome);
    const bool formatted = outcome == kFormatted;

    QVERIFY(TokenStore::addDevice("A", "OldLabel"));
    QVERIFY(TokenStore::addApp("A", "APP1", "735186", "11111111", adminRetries, 10));
    QVERIFY(TokenStore::addContainer("A", "APP1", "CON1", true, false));
    QVERIFY(TokenStore::addApp("A", "APP2", "222222", "22222222"));

    Format page(nullptr);
    page.show();
    QString newUserPin = QStringLiteral("735186");
    QString newLabel = QStringLiteral("zavrin");
    QString newApp = QStringLiteral("APP");
    for (const QString &edit : edits) {
        const QString name = edit.section('=', 0, 0);
        const QString text = edit.section('=', 1);
        auto *field = page.findChild<QLineEdit *>(name);
        QVERIFY2(field, qPrintable(name));
        field->setText(text);
        if (name == QLatin1String("lineEdit_5"))
            newUserPin = text;
        else if (name == QLatin1String("lineEdit_9"))
            newLabel = text;
        else if (name == QLatin1String("lineEdit"))
            newApp = text;
    }
    // The key page is refreshed only after the success tip has been closed.
    int tipsAtRefresh = -1;
    QSignalSpy refresh(&page, &Format::Refresh);
    connect(&page, &Format::Refresh, this, [&]() { tipsAtRefresh = tips->texts.size(); });

    QTest::mouseClick(page.findChild<QPushButton *>("pushButton"), Qt::LeftButton);
    QCOMPARE(tips->texts, messages);
    QCOMPARE(refresh.count(), formatted ? 1 : 0);
    if (formatted)
        QCOMPARE(tipsAtRefresh, 1);
    // A retries tip shows what the token keeps; without one no retry was spent.
    const QList<qulonglong> shown = retryCounts(tips->texts);
    QVERIFY(shown.size() <= 1);
    if (!formatted)
        QCOMPARE(adminRetriesLeft("APP1"), shown.isEmpty() ? adminRetries : int(shown.first()));

    void *lib = dlopen(TokenStore::libraryPath().toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
    QVERIFY(lib);
    void *hDev = Utils::OpenDev(lib, "A");
    QVERIFY(hDev);
    const QList<QString> apps = Utils::EnmuAppList(lib, hDev);
    if (formatted) {
        // Only the first application is replaced; the second stays.
        QCOMPARE(label(Utils::GetDevInfo(lib, hDev)), newLabel);
        QCOMPARE(apps, QList<QString>({"APP2", newApp}));
        void *hApp = Utils::OpenApplication(lib, hDev, newApp);
        QCOMPARE(Utils::VerifyPin(lib, hApp, newUserPin), ULONG(0));
        QCOMPARE(Utils::VerifyAdminPin(lib, hApp, "735186"), ULONG(0));
        Utils::CloseApplication(lib, hApp);
    } else {
        QCOMPARE(label(Utils::GetDevInfo(lib, hDev)),
                 outcome == kRelabelled ? newLabel : QStringLiteral("OldLabel"));
        QCOMPARE(apps, QList<QString>({"APP1", "APP2"}));
    }
    dlclose(lib);
}

// The current administrator PIN at the length the token takes and beyond: one that does
// not fit is refused before the verification, with the length tip, whatever it starts with.
void TestFormat::adminPinLength_data()
{
    QTest::addColumn<QString>("tokenAdminPin");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("retriesAfter"); // of the first application; -1: formatted

    const QString pin63(63, 'a');
    const QStringList lengthTip(QString::fromUtf8("PIN码长度不能超过63个字符！"));
    QTest::newRow("63 characters, right") << pin63 << pin63 << QStringList(QString::fromUtf8("格式化设备成功！")) << -1;
    QTest::newRow("63 characters, wrong")
        << QStringLiteral("735186") << pin63
        << QStringList({QString::fromUtf8("原PIN码校验失败,剩余4次机会，无法修改PIN码！"), QString::fromUtf8("您管理员PIN码错误！")})
        << 4;
    QTest::newRow("64 characters") << QStringLiteral("735186") << QString(64, 'a') << lengthTip << 5;
    QTest::newRow("64 characters, the first 63 right") << pin63 << pin63 + "a" << lengthTip << 5;
    QTest::newRow("100 characters") << QStringLiteral("735186") << QString(100, '7') << lengthTip << 5;
}

void TestFormat::adminPinLength()
{
    QFETCH(QString, tokenAdminPin);
    QFETCH(QString, typed);
    QFETCH(QStringList, messages);
    QFETCH(int, retriesAfter);

    QVERIFY(TokenStore::addDevice("A", "OldLabel"));
    QVERIFY(TokenStore::addApp("A", "APP1", tokenAdminPin, "11111111", 5, 10));

    Format page(nullptr);
    page.findChild<QLineEdit *>("lineEdit_2")->setText(typed);
    QSignalSpy refresh(&page, &Format::Refresh);
    QTest::mouseClick(page.findChild<QPushButton *>("pushButton"), Qt::LeftButton);

    QCOMPARE(tips->texts, messages);
    for (const QString &title : tips->titles)
        QCOMPARE(title, QString::fromUtf8("温馨提示："));
    QCOMPARE(refresh.count(), retriesAfter < 0 ? 1 : 0);
    if (retriesAfter >= 0) {
        QCOMPARE(adminRetriesLeft("APP1"), retriesAfter);
        QVERIFY(TokenStore::mvtoken({"list"}).contains("label=OldLabel"));
    }
}

QTEST_MAIN(TestFormat)
#include "test_format.moc"
