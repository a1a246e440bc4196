// Device events end to end: the real device-event thread over the stand-in token
// library, tokens inserted and removed from outside with mvtoken, the key management
// page following them and the tray message of each event. Runs on a display with a
// system tray (with_tray.sh), where Qt draws the tray message itself.
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

#include "keymanage.h"
#include "mainwindow.h"
#include "msgtipcatcher.h"
#include "tokenstore.h"

namespace {

// The texts of the tray message on screen (Qt's own balloon), or empty.
QStringList trayMessage()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qstrcmp(w->metaObject()->className(), "QBalloonTip") != 0 || !w->isVisible())
            continue;
        QStringList texts;
        for (QLabel *label : w->findChildren<QLabel *>())
            if (!label->text().isEmpty())
                texts << label->text();
        return texts;
    }
    return {};
}

} // namespace

class TestDeviceEvents : public QObject
{
    Q_OBJECT

private slots:
    void insertionAndRemovalFromOutside();
};

void TestDeviceEvents::insertionAndRemovalFromOutside()
{
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    TokenStore store;
    MsgTipCatcher tips;
    for (const char *dev : {"A", "B"}) {
        QVERIFY(TokenStore::mvtoken({"init-device", dev, "--serial", QStringLiteral("SN-") + dev}).size());
        QVERIFY(TokenStore::addApp(dev, QStringLiteral("APP-") + dev, "12345678", "11111111"));
        QVERIFY(TokenStore::addContainer(dev, QStringLiteral("APP-") + dev, "CON", true, true));
    }
    QVERIFY(TokenStore::mvtoken({"insert", "A"}).size());

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *page = window.findChild<KeyManage *>();
    auto *name = page->findChild<QLabel *>("keyNameLabel");
    auto *tree = page->findChild<QTreeWidget *>("certTreeWidget");
    QCOMPARE(name->text(), QStringLiteral("A"));
    QSignalSpy inserted(&window, &MainWindow::ukeyInsertSignal);
    QSignalSpy removed(&window, &MainWindow::ukeyPullOutSignal);
    // Let the thread reach its wait before the first change.
    QTest::qWait(300);

    QVERIFY(TokenStore::mvtoken({"insert", "B"}).size());
    QTRY_COMPARE_WITH_TIMEOUT(inserted.count(), 1, 10000);
    QCOMPARE(inserted.at(0).at(0).toString(), QStringLiteral("B"));
    QTRY_COMPARE_WITH_TIMEOUT(trayMessage(),
                              QStringList({QString::fromUtf8("温馨提示："), QString::fromUtf8("B UKey插入")}), 5000);
    // Another device is current: the page goes on showing it.
    QCOMPARE(name->text(), QStringLiteral("A"));
    QCOMPARE(tree->topLevelItem(0)->text(0), QString::fromUtf8("应用名:APP-A"));

    QVERIFY(TokenStore::mvtoken({"remove", "A"}).size());
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 10000);
    QCOMPARE(removed.at(0).at(0).toString(), QStringLiteral("A"));
    QTRY_COMPARE_WITH_TIMEOUT(trayMessage(),
                              QStringList({QString::fromUtf8("温馨提示："), QString::fromUtf8("A UKey拔出")}), 5000);
    // The current device went away: the page cleared and loaded B.
    QCOMPARE(name->text(), QStringLiteral("B"));
    QCOMPARE(page->findChild<QLabel *>("ketSerialLabel")->text(), QStringLiteral("SN-B"));
    QCOMPARE(tree->topLevelItemCount(), 1);
    QCOMPARE(tree->topLevelItem(0)->text(0), QString::fromUtf8("应用名:APP-B"));
    QCOMPARE(tree->topLevelItem(0)->child(0)->childCount(), 2);
    QCOMPARE(inserted.count(), 1);
    QVERIFY(tips.texts.isEmpty());
}

QTEST_MAIN(TestDeviceEvents)
#include "test_deviceevents.moc"
