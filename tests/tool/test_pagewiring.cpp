// The main window's page area: pages created and wired once, shown or hidden by the
// page slots, a successful format reloading the key management page exactly once,
// and device reports that the window ignores.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <dlfcn.h>

#include <memory>

#include "format.h"
#include "keymanage.h"
#include "mainwindow.h"
#include "msgtipcatcher.h"
#include "tokenstore.h"
#include "utils.h"

class TestPageWiring : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pagesAreAddedOnce();
    void formatReloadsKeyPageOnce();
    void ignoresOtherEvents();

private:
    std::unique_ptr<TokenStore> store;
    std::unique_ptr<MsgTipCatcher> tips;
};

void TestPageWiring::init()
{
    store.reset(new TokenStore);
    // Also answers the window's "no system tray" box of the offscreen platform.
    tips.reset(new MsgTipCatcher);
    QVERIFY(TokenStore::addDevice("A", "OldLabel"));
    QVERIFY(TokenStore::addApp("A", "APP1", "735186", "11111111"));
    QVERIFY(TokenStore::addContainer("A", "APP1", "CON1", true, true));
    QVERIFY(TokenStore::addApp("A", "APP2", "222222", "22222222"));
}

void TestPageWiring::cleanup()
{
    tips.reset();
    store.reset();
}

void TestPageWiring::pagesAreAddedOnce()
{
    MainWindow window;
    auto *area = window.findChild<QVBoxLayout *>("contentWidget");
    QVERIFY(area);
    QCOMPARE(area->count(), 1);
    auto *keyPage = window.findChild<KeyManage *>();
    QVERIFY(keyPage);
    QVERIFY(!keyPage->isHidden());
    QCOMPARE(window.findChildren<Format *>().size(), 0);

    window.onKeyManageClick();
    QCOMPARE(area->count(), 1);

    window.onSettingClick();
    window.onSettingClick();
    QCOMPARE(area->count(), 2);
    QCOMPARE(window.findChildren<Format *>().size(), 1);
    auto *formatPage = window.findChild<Format *>();
    QVERIFY(keyPage->isHidden());
    QVERIFY(!formatPage->isHidden());

    // Page ids without a page leave the area as it is.
    window.onMirvaleClick();
    window.startCheck();
    QCOMPARE(area->count(), 2);
    QVERIFY(keyPage->isHidden());
    QVERIFY(!formatPage->isHidden());

    window.onKeyManageClick();
    QCOMPARE(area->count(), 2);
    QCOMPARE(window.findChildren<KeyManage *>().size(), 1);
    QVERIFY(!keyPage->isHidden());
    QVERIFY(formatPage->isHidden());
}

void TestPageWiring::formatReloadsKeyPageOnce()
{
    MainWindow window;
    window.show();
    window.onSettingClick();
    window.onSettingClick();
    auto *keyPage = window.findChild<KeyManage *>();
    auto *formatPage = window.findChild<Format *>();
    auto *tree = keyPage->findChild<QTreeWidget *>("certTreeWidget");
    QCOMPARE(tree->topLevelItemCount(), 2);

    // Every application item that a load adds is one top-level row inserted.
    int topLevelRowsAdded = 0;
    connect(tree->model(), &QAbstractItemModel::rowsInserted, this,
            [&](const QModelIndex &parent, int first, int last) {
                if (!parent.isValid())
                    topLevelRowsAdded += last - first + 1;
            });
    tips->texts.clear();
    QTest::mouseClick(formatPage->findChild<QPushButton *>("pushButton"), Qt::LeftButton);

    QCOMPARE(tips->texts, QStringList(QString::fromUtf8("格式化设备成功！")));
    QCOMPARE(topLevelRowsAdded, 2);
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(tree->topLevelItem(0)->text(0), QString::fromUtf8("应用名:APP2"));
    QCOMPARE(tree->topLevelItem(1)->text(0), QString::fromUtf8("应用名:APP"));
    QCOMPARE(keyPage->findChild<QLabel *>("keyNameLabel")->text(), QStringLiteral("A"));
    QCOMPARE(keyPage->findChild<QLabel *>("keyLabLabel")->text(), QStringLiteral("zavrin"));

    // A second request verifies against the application the token now lists first.
    formatPage->findChild<QLineEdit *>("lineEdit_2")->setText("222222");
    formatPage->findChild<QLineEdit *>("lineEdit")->setText("APP3");
    tips->texts.clear();
    topLevelRowsAdded = 0;
    QTest::mouseClick(formatPage->findChild<QPushButton *>("pushButton"), Qt::LeftButton);
    QCOMPARE(tips->texts, QStringList(QString::fromUtf8("格式化设备成功！")));
    QCOMPARE(topLevelRowsAdded, 2);
    QCOMPARE(tree->topLevelItem(0)->text(0), QString::fromUtf8("应用名:APP"));
    QCOMPARE(tree->topLevelItem(1)->text(0), QString::fromUtf8("应用名:APP3"));
}

void TestPageWiring::ignoresOtherEvents()
{
    MainWindow window;
    QSignalSpy inserted(&window, &MainWindow::ukeyInsertSignal);
    QSignalSpy removed(&window, &MainWindow::ukeyPullOutSignal);
    auto *name = window.findChild<KeyManage *>()->findChild<QLabel *>("keyNameLabel");

    for (int event : {0, -1, 3})
        window.ukeyStateSlot(0, QStringLiteral("A"), event);
    window.ukeyStateSlot(1, QString(), -1);
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(removed.count(), 0);
    QCOMPARE(name->text(), QStringLiteral("A"));

    // The result code is not looked at.
    window.ukeyStateSlot(0x0A000023, QStringLiteral("A"), 2);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).toString(), QStringLiteral("A"));
    QCOMPARE(name->text(), QString());
    window.ukeyStateSlot(0, QStringLiteral("A"), 1);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(name->text(), QStringLiteral("A"));
}

QTEST_MAIN(TestPageWiring)
#include "test_pagewiring.moc"
