// The key management page over the stand-in token library: the tree of applications,
// containers and certificates, the certificate fields, the user PIN change and the
// page's response to insertions and removals.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

#include <dlfcn.h>

#include <memory>

#include "certmaker.h"
#include "keymanage.h"
#include "msgtipcatcher.h"
#include "tokenstore.h"
#include "skflibrary.h"
#include "utils.h"

namespace {

QStringList topLevelTexts(QTreeWidget *tree)
{
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        texts << tree->topLevelItem(i)->text(0);
    return texts;
}

QStringList childTexts(QTreeWidgetItem *item)
{
    QStringList texts;
    for (int i = 0; i < item->childCount(); ++i)
        texts << item->child(i)->text(0);
    return texts;
}

} // namespace

class TestKeyManage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void showsBothApplicationsWithTheirCertificates();
    void clickShowsCertificateFields_data();
    void clickShowsCertificateFields();
    void clickShowsThatCertificate_data();
    void clickShowsThatCertificate();
    void chineseNamesReachTheToken();
    void changePin_data();
    void changePin();
    void captionsShowWhole();
    void followsInsertionAndRemoval();
    void longChineseHolderShowsWhole();
    void presentDevicesAreListed_data();
    void presentDevicesAreListed();

private:
    template <typename T> T *child(const char *name) { return page->findChild<T *>(QLatin1String(name)); }
    void makePage();
    void clickItem(QTreeWidgetItem *item);

    std::unique_ptr<TokenStore> store;
    std::unique_ptr<MsgTipCatcher> tips;
    KeyManage *page = nullptr;
};

void TestKeyManage::initTestCase()
{
    // As in the program, where the device-event thread never releases its binding, the
    // token library stays loaded while pages open and close their own handles.
    QVERIFY(dlopen(TokenStore::libraryPath().toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL));
}

void TestKeyManage::init()
{
    store.reset(new TokenStore);
    tips.reset(new MsgTipCatcher);
}

void TestKeyManage::cleanup()
{
    delete page;
    page = nullptr;
    tips.reset();
    store.reset();
}

void TestKeyManage::makePage()
{
    page = new KeyManage(nullptr);
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page));
}

void TestKeyManage::clickItem(QTreeWidgetItem *item)
{
    auto *tree = child<QTreeWidget>("certTreeWidget");
    tree->expandAll();
    tree->scrollToItem(item);
    const QRect rect = tree->visualItemRect(item);
    QVERIFY(rect.isValid());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
}

void TestKeyManage::showsBothApplicationsWithTheirCertificates()
{
    // mvtoken stores the label as GBK bytes, as a token holds it.
    QVERIFY(TokenStore::addDevice("A", QString::fromUtf8("演示密钥"), "SN-A-42"));
    QVERIFY(TokenStore::addApp("A", "APP1", "12345678", "11111111"));
    QVERIFY(TokenStore::addContainer("A", "APP1", "CON1", true, true));
    QVERIFY(TokenStore::addContainer("A", "APP1", "CON2", true, false));
    QVERIFY(TokenStore::addApp("A", "APP2", "12345678", "22222222"));
    QVERIFY(TokenStore::addContainer("A", "APP2", "CON3", true, true));
    makePage();

    QCOMPARE(child<QLabel>("keyNameLabel")->text(), QStringLiteral("A"));
    QCOMPARE(child<QLabel>("ketSerialLabel")->text(), QStringLiteral("SN-A-42"));
    QCOMPARE(child<QLabel>("keyLabLabel")->text(), QString::fromUtf8("演示密钥"));
    QCOMPARE(child<QLabel>("keyFrimLabel")->text(), QStringLiteral("Mirvale"));

    auto *box = child<QComboBox>("appComboBox");
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->itemText(0), QStringLiteral("APP1"));
    QCOMPARE(box->itemText(1), QStringLiteral("APP2"));

    auto *tree = child<QTreeWidget>("certTreeWidget");
    QVERIFY(tree->isHeaderHidden());
    QCOMPARE(topLevelTexts(tree), QStringList({QString::fromUtf8("应用名:APP1"), QString::fromUtf8("应用名:APP2")}));
    QTreeWidgetItem *app1 = tree->topLevelItem(0);
    QTreeWidgetItem *app2 = tree->topLevelItem(1);
    QCOMPARE(childTexts(app1), QStringList({QString::fromUtf8("容器名:CON1"), QString::fromUtf8("容器名:CON2")}));
    QCOMPARE(childTexts(app2), QStringList({QString::fromUtf8("容器名:CON3")}));

    // Signature certificate first; a container without an encryption certificate
    // shows one item. Every item names a distinct lower-case hex serial number.
    QCOMPARE(app1->child(0)->childCount(), 2);
    QCOMPARE(app1->child(1)->childCount(), 1);
    QCOMPARE(app2->child(0)->childCount(), 2);
    QSet<QString> serials;
    const QRegularExpression certItem(QString::fromUtf8("^证书序号:[0-9a-f]+$"));
    for (QTreeWidgetItem *con : {app1->child(0), app1->child(1), app2->child(0)}) {
        for (int i = 0; i < con->childCount(); ++i) {
            QVERIFY2(certItem.match(con->child(i)->text(0)).hasMatch(), qPrintable(con->child(i)->text(0)));
            serials.insert(con->child(i)->text(0));
        }
    }
    QCOMPARE(serials.size(), 5);
    QVERIFY(tips->texts.isEmpty());
}

void TestKeyManage::clickShowsCertificateFields_data()
{
    QTest::addColumn<int>("certIndex");
    QTest::addColumn<QString>("attribute");
    QTest::newRow("signature certificate") << 0 << QString::fromUtf8("证书属性：签名证书");
    QTest::newRow("encryption certificate") << 1 << QString::fromUtf8("证书属性：加密证书");
}

void TestKeyManage::clickShowsCertificateFields()
{
    QFETCH(int, certIndex);
    QFETCH(QString, attribute);

    QVERIFY(TokenStore::addDevice("A"));
    QVERIFY(TokenStore::addApp("A", "APP1", "12345678", "11111111"));
    QVERIFY(TokenStore::addContainer("A", "APP1", "CON1", true, true, "/C=CN/O=Mirvale/OU=Dept A/CN=User One"));
    makePage();

    auto *tree = child<QTreeWidget>("certTreeWidget");
    auto *browser = child<QTextBrowser>("certBrowser");
    QTreeWidgetItem *cert = tree->topLevelItem(0)->child(0)->child(certIndex);
    const QString serial = cert->text(0).section(':', 1);
    clickItem(cert);

    const QStringList lines = browser->toPlainText().split('\n');
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines.at(0), QString::fromUtf8("版本号：v3"));
    QCOMPARE(lines.at(1), QString::fromUtf8("序列号：") + serial);
    QVERIFY2(lines.at(2).startsWith(QString::fromUtf8("颁发者：")) && lines.at(2).contains("CN="), qPrintable(lines.at(2)));
    QCOMPARE(lines.at(3), QString::fromUtf8("持有者：C=CN, O=Mirvale, OU=Dept A, CN=User One, "));
    const QRegularExpression time(QString::fromUtf8("^20\\d\\d年\\d\\d月\\d\\d日\\d\\d时\\d\\d分 $"));
    QVERIFY2(time.match(lines.at(4).section(QString::fromUtf8("："), 1)).hasMatch(), qPrintable(lines.at(4)));
    QVERIFY(lines.at(4).startsWith(QString::fromUtf8("开始时间：")));
    QVERIFY(lines.at(5).startsWith(QString::fromUtf8("结束时间：")));
    QVERIFY2(time.match(lines.at(5).section(QString::fromUtf8("："), 1)).hasMatch(), qPrintable(lines.at(5)));
    QCOMPARE(lines.at(6), attribute);

    // A click on a container or application item only clears the browser.
    clickItem(tree->topLevelItem(0)->child(0));
    QCOMPARE(browser->toPlainText(), QString());
    clickItem(cert);
    QVERIFY(!browser->toPlainText().isEmpty());
    clickItem(tree->topLevelItem(0));
    QCOMPARE(browser->toPlainText(), QString());
}

// Each certificate goes into a container of its own (CON1, CON2, ...) as its signature
// certificate; the click on the certificate item `click` shows exactly its fields, however
// its serial number occurs in the other entries and whatever its names hold.
void TestKeyManage::clickShowsThatCertificate_data()
{
    using namespace certmaker;
    QTest::addColumn<QByteArrayList>("certs");
    QTest::addColumn<int>("click");
    QTest::addColumn<QStringList>("lines");

    const auto cert = [](const char *serialHex, std::vector<NameEntry> subject, const char *notBefore = "240301080000Z") {
        CertSpec spec;
        spec.serial = QByteArray::fromHex(serialHex);
        spec.subject = std::move(subject);
        spec.notBefore = notBefore;
        return makeCert(spec);
    };
    const auto lines = [](const QString &serial, const QString &issuer, const QString &subject,
                          const char *start = "2024年03月01日08时00分 ") {
        return QStringList({QString::fromUtf8("版本号：v3"), QString::fromUtf8("序列号：") + serial,
                            QString::fromUtf8("颁发者：") + issuer, QString::fromUtf8("持有者：") + subject,
                            QString::fromUtf8("开始时间：") + QString::fromUtf8(start),
                            QString::fromUtf8("结束时间：2051年03月01日08时00分 "),
                            QString::fromUtf8("证书属性：签名证书")});
    };
    const QString sampleCa = QStringLiteral("C=CN, O=Sample Org, CN=Sample CA, ");

    QTest::newRow("serial 01 inside an earlier serial")
        << QByteArrayList({cert("3a8ec9018c228989", {{"CN", "First"}}), cert("01", {{"CN", "Second"}})}) << 1
        << lines("01", sampleCa, "CN=Second, ");
    QTest::newRow("the earlier serial itself")
        << QByteArrayList({cert("3a8ec9018c228989", {{"CN", "First"}}), cert("01", {{"CN", "Second"}})}) << 0
        << lines("3a8ec9018c228989", sampleCa, "CN=First, ");
    QTest::newRow("serial 10 inside an earlier date")
        << QByteArrayList({cert("0a0b", {{"CN", "First"}}, "241210080000Z"), cert("10", {{"CN", "Second"}})}) << 1
        << lines("10", sampleCa, "CN=Second, ");
    QTest::newRow("'#' in the subject")
        << QByteArrayList({cert("0203", {{"O", "Hash#Org"}, {"CN", "Hash"}})}) << 0
        << lines("0203", sampleCa, "O=Hash#Org, CN=Hash, ");

    CertSpec bmp;
    bmp.serial = QByteArray::fromHex("0405");
    bmp.issuer = {{"CN", stringBytes(V_ASN1_BMPSTRING, "Issuer BMP"), V_ASN1_BMPSTRING}};
    bmp.subject = {{"CN", stringBytes(V_ASN1_BMPSTRING, QString::fromUtf8("张三AB")), V_ASN1_BMPSTRING}};
    CertSpec t61;
    t61.serial = QByteArray::fromHex("0607");
    t61.subject = {{"CN", stringBytes(V_ASN1_T61STRING, QString::fromUtf8("Müller")), V_ASN1_T61STRING}};
    QTest::newRow("BMPString names") << QByteArrayList({makeCert(bmp)}) << 0
                                     << lines("0405", "CN=Issuer BMP, ", QString::fromUtf8("CN=张三AB, "));
    QTest::newRow("T61String name") << QByteArrayList({makeCert(t61)}) << 0
                                    << lines("0607", sampleCa, QString::fromUtf8("CN=Müller, "));

    // Names of far more than 128 bytes in UTF-8, shown whole.
    CertSpec wide;
    wide.serial = QByteArray::fromHex("0809");
    wide.issuer = {{"C", "CN"},
                   {"O", QString::fromUtf8("国家密码管理局商用密码检测中心第二认证服务部电子认证中心").toUtf8()},
                   {"OU", QString::fromUtf8("华东地区数字证书签发与密钥管理服务中心").toUtf8()},
                   {"CN", QString::fromUtf8("米尔维尔国密根证书颁发机构二级签发机构").toUtf8()}};
    wide.subject = {{"C", "CN"},
                    {"O", QString::fromUtf8("浙江省杭州市西湖区米尔维尔信息安全技术股份有限公司研发中心").toUtf8()},
                    {"OU", QString::fromUtf8("密码产品事业部第三研究室").toUtf8()},
                    {"CN", QString::fromUtf8("欧阳张三丰").toUtf8()},
                    {"L", QString::fromUtf8("杭州市西湖区").toUtf8()},
                    {"ST", QString::fromUtf8("浙江省").toUtf8()}};
    QTest::newRow("long Chinese issuer and subject")
        << QByteArrayList({makeCert(wide)}) << 0
        << lines("0809",
                 QString::fromUtf8("C=CN, O=国家密码管理局商用密码检测中心第二认证服务部电子认证中心, "
                                   "OU=华东地区数字证书签发与密钥管理服务中心, CN=米尔维尔国密根证书颁发机构二级签发机构, "),
                 QString::fromUtf8("C=CN, O=浙江省杭州市西湖区米尔维尔信息安全技术股份有限公司研发中心, "
                                   "OU=密码产品事业部第三研究室, CN=欧阳张三丰, L=杭州市西湖区, S=浙江省"));
}

void TestKeyManage::clickShowsThatCertificate()
{
    QFETCH(QByteArrayList, certs);
    QFETCH(int, click);
    QFETCH(QStringList, lines);

    QVERIFY(TokenStore::addDevice("A"));
    QVERIFY(TokenStore::addApp("A", "APP1", "12345678", "11111111"));
    for (int i = 0; i < certs.size(); ++i) {
        const QString con = QStringLiteral("CON%1").arg(i + 1);
        QVERIFY(TokenStore::addContainer("A", "APP1", con, false, false));
        QVERIFY(TokenStore::importCert("A", "APP1", con, true, certs.at(i)));
    }
    makePage();

    auto *app = child<QTreeWidget>("certTreeWidget")->topLevelItem(0);
    QCOMPARE(app->childCount(), certs.size());
    QTreeWidgetItem *item = app->child(click)->child(0);
    QCOMPARE(item->text(0), QString::fromUtf8("证书序号:") + lines.at(1).section(QString::fromUtf8("："), 1));
    clickItem(item);
    QCOMPARE(child<QTextBrowser>("certBrowser")->toPlainText().split('\n'), lines);
}

// Names read from the token go back to it as the bytes they came in: the containers and
// certificates of an application with a Chinese name load, and its PIN changes.
void TestKeyManage::chineseNamesReachTheToken()
{
    const QString app = QString::fromUtf8("测试应用");
    const QString con = QString::fromUtf8("容器一");
    QVERIFY(TokenStore::addDevice(QString::fromUtf8("设备甲"), QString::fromUtf8("中文")));
    QVERIFY(TokenStore::addApp(QString::fromUtf8("设备甲"), app, "12345678", "11111111"));
    QVERIFY(TokenStore::addContainer(QString::fromUtf8("设备甲"), app, con, true, true));
    makePage();

    QCOMPARE(child<QLabel>("keyNameLabel")->text(), QString::fromUtf8("设备甲"));
    QCOMPARE(child<QLabel>("keyLabLabel")->text(), QString::fromUtf8("中文"));
    auto *tree = child<QTreeWidget>("certTreeWidget");
    QCOMPARE(topLevelTexts(tree), QStringList(QString::fromUtf8("应用名:") + app));
    QCOMPARE(childTexts(tree->topLevelItem(0)), QStringList(QString::fromUtf8("容器名:") + con));
    QCOMPARE(tree->topLevelItem(0)->child(0)->childCount(), 2);

    child<QLineEdit>("lineEdit")->setText("11111111");
    child<QLineEdit>("lineEdit_2")->setText("22222222");
    child<QLineEdit>("lineEdit_3")->setText("22222222");
    QTest::mouseClick(child<QPushButton>("pushButton_2"), Qt::LeftButton);
    QCOMPARE(tips->texts, QStringList(QString::fromUtf8("PIN码修改成功,请您牢记新PIN码！")));

    void *lib = dlopen(TokenStore::libraryPath().toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
    QVERIFY(lib);
    void *hApp = Utils::OpenApplication(lib, Utils::OpenDev(lib, QString::fromUtf8("设备甲")), app);
    QVERIFY(hApp);
    QCOMPARE(Utils::VerifyPin(lib, hApp, "22222222"), ULONG(0));
    Utils::CloseApplication(lib, hApp);
    dlclose(lib);
}

void TestKeyManage::changePin_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("oldPin");
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<QString>("confirmPin");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("userPinAfter");
    QTest::addColumn<int>("retriesAfter"); // the user PIN's retries left after the click; -1: no application

    const QString user = QStringLiteral("11111111");
    QTest::newRow("old PIN empty") << "" << "" << "22222222" << "22222222" << QString::fromUtf8("您未输入原PIN码！") << user << 3;
    QTest::newRow("new PIN empty") << "" << user << "" << "22222222" << QString::fromUtf8("您未输入新PIN码！") << user << 3;
    QTest::newRow("confirmation empty") << "" << user << "22222222" << "" << QString::fromUtf8("您未输入确认PIN码！") << user << 3;
    QTest::newRow("mismatch") << "" << user << "22222222" << "22222223"
                              << QString::fromUtf8("您输入的两次新PIN码不一致！") << user << 3;
    QTest::newRow("wrong old PIN, 3 retries") << "" << "99999999" << "22222222" << "22222222"
                                              << QString::fromUtf8("原PIN码校验失败,剩余2次机会，无法修改PIN码！") << user << 2;
    QTest::newRow("last retry used up") << "one-retry" << "99999999" << "22222222" << "22222222"
                                        << QString::fromUtf8("原PIN码校验失败,剩余0次机会，无法修改PIN码！") << QString() << 0;
    QTest::newRow("blocked PIN, right old PIN") << "blocked" << user << "22222222" << "22222222"
                                                << QString::fromUtf8("原PIN码校验失败,剩余0次机会，无法修改PIN码！")
                                                << QString() << 0;
    QTest::newRow("success") << "" << user << "22222222" << "22222222"
                             << QString::fromUtf8("PIN码修改成功,请您牢记新PIN码！") << "22222222" << 3;
    QTest::newRow("no application: no message") << "no-app" << user << "22222222" << "22222222" << QString()
                                                << QString() << -1;

    // PINs the token cannot take as typed are refused before any token call: no retry
    // is spent and the PIN stays (as "??" it would be matched by any two such characters).
    const QString charset = Utils::pinCharsetTip();
    QTest::newRow("new PIN in Chinese") << "" << user << QString::fromUtf8("密码") << QString::fromUtf8("密码")
                                        << charset << user << 3;
    QTest::newRow("old PIN in Chinese") << "" << QString::fromUtf8("口令") << "22222222" << "22222222" << charset
                                        << user << 3;
    QTest::newRow("new PIN of mixed text") << "" << user << QString::fromUtf8("pass密1") << QString::fromUtf8("pass密1")
                                           << charset << user << 3;
    QTest::newRow("new PIN in Latin-1") << "" << user << QString::fromUtf8("pässwörd") << QString::fromUtf8("pässwörd")
                                        << QString::fromUtf8("PIN码修改成功,请您牢记新PIN码！")
                                        << QString::fromUtf8("pässwörd") << 3;

    // The PIN fields hold 36 characters: the longest PINs reach the token as typed, a
    // longer text is kept to its first 36, and no tip shows a code of the access layer's
    // own as a number of retries.
    const QString pin36(36, 'p');
    QTest::newRow("old PIN of 36 characters, wrong") << "" << pin36 << "22222222" << "22222222"
                                                     << QString::fromUtf8("原PIN码校验失败,剩余2次机会，无法修改PIN码！")
                                                     << user << 2;
    QTest::newRow("old PIN of 100 characters, wrong") << "" << QString(100, '1') << "22222222" << "22222222"
                                                      << QString::fromUtf8("原PIN码校验失败,剩余2次机会，无法修改PIN码！")
                                                      << user << 2;
    QTest::newRow("new PIN of 36 characters") << "" << user << pin36 << pin36
                                              << QString::fromUtf8("PIN码修改成功,请您牢记新PIN码！") << pin36 << 3;
    QTest::newRow("new PIN of 64 characters") << "" << user << QString(64, 'p') << QString(64, 'p')
                                              << QString::fromUtf8("PIN码修改成功,请您牢记新PIN码！") << pin36 << 3;
}

void TestKeyManage::changePin()
{
    QFETCH(QString, setup);
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(QString, confirmPin);
    QFETCH(QString, message);
    QFETCH(QString, userPinAfter);
    QFETCH(int, retriesAfter);

    QVERIFY(TokenStore::addDevice("A"));
    if (setup != QLatin1String("no-app")) {
        const int retries = setup.isEmpty() ? 3 : 1;
        QVERIFY(TokenStore::addApp("A", "APP1", "12345678", "11111111", 10, retries));
    }

    void *lib = dlopen(TokenStore::libraryPath().toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
    QVERIFY(lib);
    void *hDev = Utils::OpenDev(lib, "A");
    if (setup == QLatin1String("blocked")) {
        void *hApp = Utils::OpenApplication(lib, hDev, "APP1");
        QCOMPARE(Utils::VerifyPin(lib, hApp, "99999999"), ULONG(999));
        Utils::CloseApplication(lib, hApp);
    }

    makePage();
    child<QLineEdit>("lineEdit")->setText(oldPin);
    child<QLineEdit>("lineEdit_2")->setText(newPin);
    child<QLineEdit>("lineEdit_3")->setText(confirmPin);
    // What the fields hold of the texts.
    oldPin.truncate(36);
    confirmPin.truncate(36);
    QTest::mouseClick(child<QPushButton>("pushButton_2"), Qt::LeftButton);

    if (message.isEmpty()) {
        QTest::qWait(100);
        QCOMPARE(tips->texts, QStringList());
    } else {
        QCOMPARE(tips->texts, QStringList(message));
        QCOMPARE(tips->titles, QStringList(QString::fromUtf8("温馨提示：")));
    }
    // The fields keep their text whatever the outcome.
    QCOMPARE(child<QLineEdit>("lineEdit")->text(), oldPin);
    QCOMPARE(child<QLineEdit>("lineEdit_3")->text(), confirmPin);

    if (retriesAfter >= 0) {
        const QRegularExpression counter("user-retries=(\\d+)/");
        QCOMPARE(counter.match(TokenStore::mvtoken({"list"})).captured(1), QString::number(retriesAfter));
    }
    if (!userPinAfter.isEmpty()) {
        // The PIN the token holds is the Latin-1 bytes of the text.
        void *hApp = Utils::OpenApplication(lib, hDev, "APP1");
        auto *verify = SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_VerifyPIN));
        QByteArray pin = userPinAfter.toLatin1();
        ULONG retries = 0;
        QCOMPARE(verify(hApp, USER_TYPE, pin.data(), &retries), ULONG(SAR_OK));
        Utils::CloseApplication(lib, hApp);
    }
    dlclose(lib);

    // The reset button clears the three PIN fields.
    QTest::mouseClick(child<QPushButton>("pushButton_3"), Qt::LeftButton);
    QCOMPARE(child<QLineEdit>("lineEdit")->text(), QString());
    QCOMPARE(child<QLineEdit>("lineEdit_2")->text(), QString());
    QCOMPARE(child<QLineEdit>("lineEdit_3")->text(), QString());
}

// Every caption of the form shows its whole text at the page's fonts: a text wider than
// its label loses its beginning when it is right-aligned, its end when it is left-aligned
// (blanks on the side it is aligned to take room, those at the other end may be cut).
void TestKeyManage::captionsShowWhole()
{
    makePage();
    const QList<QLabel *> labels = page->findChildren<QLabel *>();
    int captions = 0;
    for (QLabel *label : labels) {
        if (label->whatsThis() != QLatin1String("tagLabel"))
            continue;
        ++captions;
        QString shown = label->text();
        if (label->alignment() & Qt::AlignRight)
            shown.remove(QRegularExpression("^\\s+"));
        else
            shown.remove(QRegularExpression("\\s+$"));
        const int needed = label->fontMetrics().horizontalAdvance(shown);
        QVERIFY2(needed <= label->contentsRect().width(),
                 qPrintable(QStringLiteral("%1 \"%2\": %3 px in %4 px")
                                .arg(label->objectName(), label->text())
                                .arg(needed)
                                .arg(label->contentsRect().width())));
    }
    QVERIFY(captions > 0);
}

void TestKeyManage::followsInsertionAndRemoval()
{
    for (const char *dev : {"A", "B"}) {
        QVERIFY(TokenStore::addDevice(dev, QStringLiteral("Label-") + dev, QStringLiteral("SN-") + dev));
        QVERIFY(TokenStore::addApp(dev, QStringLiteral("APP-") + dev, "12345678", "11111111"));
        QVERIFY(TokenStore::addContainer(dev, QStringLiteral("APP-") + dev, "CON", true, false));
    }
    makePage();
    auto *name = child<QLabel>("keyNameLabel");
    auto *tree = child<QTreeWidget>("certTreeWidget");
    QCOMPARE(name->text(), QStringLiteral("A"));

    // Another device while one is current: listed, the page is unchanged; twice: once.
    page->ukeyInsertSlot("B");
    page->ukeyInsertSlot("B");
    QCOMPARE(name->text(), QStringLiteral("A"));
    QCOMPARE(topLevelTexts(tree), QStringList(QString::fromUtf8("应用名:APP-A")));

    // Removal of a device that is not current changes nothing.
    page->ukeyPullOutSlot("C");
    QCOMPARE(name->text(), QStringLiteral("A"));

    // Removal of the current device: cleared, then the listed device is loaded afresh.
    QVERIFY(!TokenStore::mvtoken({"remove", "A"}).isNull());
    page->ukeyPullOutSlot("A");
    QCOMPARE(name->text(), QStringLiteral("B"));
    QCOMPARE(child<QLabel>("ketSerialLabel")->text(), QStringLiteral("SN-B"));
    QCOMPARE(topLevelTexts(tree), QStringList(QString::fromUtf8("应用名:APP-B")));
    QCOMPARE(child<QComboBox>("appComboBox")->count(), 1);
    QCOMPARE(tree->topLevelItem(0)->child(0)->childCount(), 1);

    // B was listed once: after its removal nothing is left to show.
    QVERIFY(!TokenStore::mvtoken({"remove", "B"}).isNull());
    page->ukeyPullOutSlot("B");
    QCOMPARE(name->text(), QString());
    QCOMPARE(tree->topLevelItemCount(), 0);
    QCOMPARE(child<QComboBox>("appComboBox")->count(), 0);
    QCOMPARE(child<QLabel>("keyLabLabel")->text(), QString());

    // An insertion with no current device loads it.
    QVERIFY(!TokenStore::mvtoken({"insert", "A"}).isNull());
    page->ukeyInsertSlot("A");
    QCOMPARE(name->text(), QStringLiteral("A"));
    QCOMPARE(topLevelTexts(tree), QStringList(QString::fromUtf8("应用名:APP-A")));
    QVERIFY(tips->texts.isEmpty());
}

// A holder issued by the stand-in with an ordinary long Chinese subject: the whole text, in
// the summary of the export and in the browser after a click.
void TestKeyManage::longChineseHolderShowsWhole()
{
    const QString holder = QString::fromUtf8("C=CN, O=浙江省杭州市西湖区米尔维尔信息安全技术股份有限公司研发中心, "
                                             "OU=密码产品事业部第三研究室, CN=欧阳张三丰, L=杭州市西湖区, S=浙江省");
    QVERIFY(TokenStore::addDevice("A"));
    QVERIFY(TokenStore::addApp("A", "APP1", "12345678", "11111111"));
    QVERIFY(TokenStore::addContainer("A", "APP1", "CON1", true, true,
                                     QString::fromUtf8("/C=CN/O=浙江省杭州市西湖区米尔维尔信息安全技术股份有限公司研发中心"
                                                       "/OU=密码产品事业部第三研究室/CN=欧阳张三丰/L=杭州市西湖区/ST=浙江省")));

    void *lib = dlopen(TokenStore::libraryPath().toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
    QVERIFY(lib);
    void *hApp = Utils::OpenApplication(lib, Utils::OpenDev(lib, "A"), "APP1");
    void *hCon = Utils::OpenContainer(lib, hApp, "CON1");
    QVERIFY(hCon);
    for (const bool sign : {true, false}) {
        const QList<QString> exported = Utils::ExportCertificate(lib, hCon, sign);
        QCOMPARE(exported.size(), 2);
        QCOMPARE(exported.at(1).split('#').value(3), holder);
    }
    Utils::CloseContainer(lib, hCon);
    Utils::CloseApplication(lib, hApp);
    dlclose(lib);

    makePage();
    QTreeWidgetItem *con = child<QTreeWidget>("certTreeWidget")->topLevelItem(0)->child(0);
    QCOMPARE(con->childCount(), 2);
    for (int i = 0; i < con->childCount(); ++i) {
        clickItem(con->child(i));
        QCOMPARE(child<QTextBrowser>("certBrowser")->toPlainText().split('\n').value(3),
                 QString::fromUtf8("持有者：") + holder);
    }
}

// Devices present when the page enumerates them (construction, refresh) are listed as if
// reported inserted, in the enumeration's order (the stand-in's: the order the devices were
// made in): the removal of the one shown loads the next. Steps: "-X" X is removed and
// reported, "+X" X is reported inserted, "silent+X" X is inserted without a report,
// "refresh" clears the page and loads it again.
void TestKeyManage::presentDevicesAreListed_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("shown");

    QTest::newRow("two present, the shown one removed") << QStringList({"K2", "K1"}) << QStringList({"-K2"}) << "K1";
    QTest::newRow("three present, in enumeration order")
        << QStringList({"K2", "K3", "K1"}) << QStringList({"-K2"}) << "K3";
    QTest::newRow("three present, two removed")
        << QStringList({"K2", "K3", "K1"}) << QStringList({"-K2", "-K3"}) << "K1";
    QTest::newRow("one not shown removed: nothing changes")
        << QStringList({"K2", "K1"}) << QStringList({"-K1"}) << "K2";
    QTest::newRow("one not shown removed, then the shown one: none left")
        << QStringList({"K2", "K1"}) << QStringList({"-K1", "-K2"}) << "";
    QTest::newRow("a present one reported inserted is listed once")
        << QStringList({"K2", "K1"}) << QStringList({"+K1", "-K2", "-K1"}) << "";
    QTest::newRow("the shown one reported inserted is listed once")
        << QStringList({"K2", "K1"}) << QStringList({"+K2", "-K2"}) << "K1";
    QTest::newRow("later insertion comes after those present")
        << QStringList({"K2", "K1"}) << QStringList({"silent+K3", "+K3", "-K2"}) << "K1";
    QTest::newRow("a refresh lists a device present then")
        << QStringList({"K2"}) << QStringList({"silent+K1", "refresh", "-K2"}) << "K1";
    QTest::newRow("removed and inserted again: listed last")
        << QStringList({"K2", "K1", "K3"}) << QStringList({"-K1", "silent+K1", "+K1", "-K2"}) << "K3";
}

void TestKeyManage::presentDevicesAreListed()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, steps);
    QFETCH(QString, shown);

    const auto makeDevice = [](const QString &dev) {
        return TokenStore::addDevice(dev, "Label-" + dev, "SN-" + dev)
            && TokenStore::addApp(dev, "APP-" + dev, "12345678", "11111111")
            && TokenStore::addContainer(dev, "APP-" + dev, "CON", true, false);
    };
    for (const QString &dev : present)
        QVERIFY(makeDevice(dev));
    makePage();
    auto *name = child<QLabel>("keyNameLabel");
    QCOMPARE(name->text(), present.first());

    for (const QString &step : steps) {
        if (step == QLatin1String("refresh")) {
            page->cleanAllWigdetInfo();
            page->initView();
        } else if (step.startsWith('-')) {
            QVERIFY(!TokenStore::mvtoken({"remove", step.mid(1)}).isNull());
            page->ukeyPullOutSlot(step.mid(1));
        } else if (step.startsWith(QLatin1String("silent+"))) {
            const QString dev = step.mid(7);
            QVERIFY(present.contains(dev) ? !TokenStore::mvtoken({"insert", dev}).isNull() : makeDevice(dev));
        } else {
            page->ukeyInsertSlot(step.mid(1));
        }
    }

    QCOMPARE(name->text(), shown);
    auto *tree = child<QTreeWidget>("certTreeWidget");
    if (shown.isEmpty()) {
        QCOMPARE(tree->topLevelItemCount(), 0);
        QCOMPARE(child<QLabel>("ketSerialLabel")->text(), QString());
    } else {
        QCOMPARE(child<QLabel>("ketSerialLabel")->text(), "SN-" + shown);
        QCOMPARE(topLevelTexts(tree), QStringList(QString::fromUtf8("应用名:APP-") + shown));
        QCOMPARE(tree->topLevelItem(0)->child(0)->childCount(), 1);
    }
    QVERIFY(tips->texts.isEmpty());
}

QTEST_MAIN(TestKeyManage)
#include "test_keymanage.moc"
