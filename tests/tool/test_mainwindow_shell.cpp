// The main window's shell: missing tray, window states and tray actions, tray activation,
// dragging by the top strip, version label, closing and exit, and the resource collection.
#include "mainwindow.h"
#include "msgtipcatcher.h"
#include "utils.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTextCodec>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

QString u(const char *s) { return QString::fromUtf8(s); }

} // namespace

class TestMainWindowShell : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void missingTrayIsReportedAndStartGoesOn();
    void trayMenu();
    void windowStates_data();
    void windowStates();
    void trayActivation_data();
    void trayActivation();
    void dragByTopStrip_data();
    void dragByTopStrip();
    void versionLabel_data();
    void versionLabel();
    void installedVersionFile();
    void exitEndsEventLoopWithZero();
    void resources_data();
    void resources();
    void styleSheets_data();
    void styleSheets();
    void styleTagsReachInsideTheWindow_data();
    void styleTagsReachInsideTheWindow();
    void paintsFrameAndTitle();

private:
    std::unique_ptr<MsgTipCatcher> tips; // answers the modal boxes the window opens
    std::unique_ptr<MainWindow> window;

    void buildWindow();
    QAction *action(const char *text) const;
    QSystemTrayIcon *tray() const { return window->findChild<QSystemTrayIcon *>(); }
    QString optionFile() const { return QCoreApplication::applicationDirPath() + "/Option.ini"; }
};

void TestMainWindowShell::initTestCase()
{
    // As start-up does.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    qApp->setQuitOnLastWindowClosed(false);
    QFile::remove(optionFile());
}

void TestMainWindowShell::init()
{
    tips.reset(new MsgTipCatcher);
}

void TestMainWindowShell::cleanup()
{
    window.reset();
    tips.reset();
    QFile::remove(optionFile());
}

void TestMainWindowShell::buildWindow()
{
    window.reset(new MainWindow(nullptr));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

QAction *TestMainWindowShell::action(const char *text) const
{
    for (QAction *a : window->findChildren<QAction *>())
        if (a->text() == u(text))
            return a;
    return nullptr;
}

void TestMainWindowShell::missingTrayIsReportedAndStartGoesOn()
{
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable()); // offscreen has none
    buildWindow();
    QCOMPARE(tips->titles, QStringList{"Systray"});
    QCOMPARE(tips->texts, QStringList{"I couldn't detect any system tray on this system."});
    // Everything else is built as usual.
    QVERIFY(window->isVisible());
    QVERIFY(tray());
    QVERIFY(tray()->isVisible());
    QCOMPARE(window->size(), QSize(800, 600));
    QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(window->testAttribute(Qt::WA_TranslucentBackground));
}

void TestMainWindowShell::trayMenu()
{
    buildWindow();
    QMenu *menu = tray()->contextMenu();
    QVERIFY(menu);
    QCOMPARE(menu->title(), u("Zavrin管理工具"));
    QCOMPARE(tray()->toolTip(), u("Zavrin管理工具"));
    QStringList entries;
    for (QAction *a : menu->actions())
        entries << (a->isSeparator() ? QString("--") : a->text());
    QCOMPARE(entries, (QStringList{u("打开应用"), u("关闭应用"), "--", u("退出应用")}));
    QVERIFY(action("最小化"));
    QVERIFY(!menu->actions().contains(action("最小化")));
}

// Steps: minBT, closeBT (the window's buttons), min, open, close (tray actions), wmclose
// (the window system's close). Each row gives the window and tray actions after the steps.
void TestMainWindowShell::windowStates_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("minimized");
    QTest::addColumn<bool>("minOn");
    QTest::addColumn<bool>("closeOn");
    QTest::addColumn<bool>("openOn");

    QTest::newRow("at start") << QStringList{} << true << false << true << true << false;
    QTest::newRow("min button") << QStringList{"minBT"} << true << true << false << false << true;
    QTest::newRow("close button only hides") << QStringList{"closeBT"} << false << false << false << false << true;
    QTest::newRow("tray close only hides") << QStringList{"close"} << false << false << false << false << true;
    QTest::newRow("tray minimise") << QStringList{"min"} << true << true << false << false << true;
    QTest::newRow("open after close") << QStringList{"closeBT", "open"} << true << false << true << true << false;
    QTest::newRow("open after min") << QStringList{"minBT", "open"} << true << false << true << true << false;
    QTest::newRow("window system close hides")
        << QStringList{"wmclose"} << false << false << true << true << false;
}

void TestMainWindowShell::windowStates()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, visible);
    QFETCH(bool, minimized);
    QFETCH(bool, minOn);
    QFETCH(bool, closeOn);
    QFETCH(bool, openOn);

    buildWindow();
    QPointer<MainWindow> alive(window.get());
    for (const QString &step : steps) {
        if (step == "minBT" || step == "closeBT")
            QTest::mouseClick(window->findChild<QPushButton *>(step), Qt::LeftButton);
        else if (step == "min")
            action("最小化")->trigger();
        else if (step == "open")
            action("打开应用")->trigger();
        else if (step == "close")
            action("关闭应用")->trigger();
        else if (step == "wmclose")
            window->close();
        QCoreApplication::processEvents();
    }
    QVERIFY(alive);
    QCOMPARE(window->isVisible(), visible);
    QCOMPARE(window->isMinimized(), minimized);
    QCOMPARE(action("最小化")->isEnabled(), minOn);
    QCOMPARE(action("关闭应用")->isEnabled(), closeOn);
    QCOMPARE(action("打开应用")->isEnabled(), openOn);
    QCOMPARE(action("退出应用")->isEnabled(), true);
    QVERIFY(tray()->isVisible()); // the tray icon stays, whatever the window does
}

void TestMainWindowShell::trayActivation_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("restores");
    QTest::newRow("Trigger") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("DoubleClick") << int(QSystemTrayIcon::DoubleClick) << true;
    QTest::newRow("Context") << int(QSystemTrayIcon::Context) << false;
    QTest::newRow("MiddleClick") << int(QSystemTrayIcon::MiddleClick) << false;
    QTest::newRow("Unknown") << int(QSystemTrayIcon::Unknown) << false;
}

void TestMainWindowShell::trayActivation()
{
    QFETCH(int, reason);
    QFETCH(bool, restores);
    for (const char *how : {"hidden", "minimised"}) {
        buildWindow();
        if (QByteArray(how) == "hidden")
            action("关闭应用")->trigger();
        else
            action("最小化")->trigger();
        emit tray()->activated(QSystemTrayIcon::ActivationReason(reason));
        QCoreApplication::processEvents();
        QCOMPARE(window->isVisible() && !window->isMinimized(), restores);
        // Activation never touches the tray actions.
        QCOMPARE(action("打开应用")->isEnabled(), true);
        QCOMPARE(action("关闭应用")->isEnabled(), false);
        QCOMPARE(action("最小化")->isEnabled(), false);
        window.reset();
    }
}

void TestMainWindowShell::dragByTopStrip_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("y");
    QTest::addColumn<bool>("moves");
    QTest::newRow("left at top") << int(Qt::LeftButton) << 0 << true;
    QTest::newRow("left at 130") << int(Qt::LeftButton) << 130 << true;
    QTest::newRow("left at 131") << int(Qt::LeftButton) << 131 << false;
    QTest::newRow("left in the page area") << int(Qt::LeftButton) << 400 << false;
    QTest::newRow("right at 50") << int(Qt::RightButton) << 50 << false;
}

void TestMainWindowShell::dragByTopStrip()
{
    QFETCH(int, button);
    QFETCH(int, y);
    QFETCH(bool, moves);
    buildWindow();
    window->move(100, 100);
    QCoreApplication::processEvents();
    const QPoint start = window->pos();
    const QPoint local(300, y);
    const QPoint global = window->mapToGlobal(local);
    const QPoint delta(37, 21);

    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::MouseButton(button),
                      Qt::MouseButtons(button), Qt::NoModifier);
    QApplication::sendEvent(window.get(), &press);
    QMouseEvent move(QEvent::MouseMove, local + delta, global + delta, Qt::NoButton,
                     Qt::MouseButtons(button) | Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &move);
    QCOMPARE(window->pos(), moves ? start + delta : start);

    // After the release, moving (even with the button held again) no longer drags.
    QMouseEvent release(QEvent::MouseButtonRelease, local + delta, global + delta,
                        Qt::MouseButton(button), Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &release);
    const QPoint afterRelease = window->pos();
    QMouseEvent again(QEvent::MouseMove, local, global + delta * 3, Qt::NoButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(window.get(), &again);
    QCOMPARE(window->pos(), afterRelease);
}

void TestMainWindowShell::versionLabel_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("label");
    QTest::newRow("no Option.ini") << QByteArray() << u("版本：");
    QTest::newRow("with version") << QByteArray("[MV_Option]\nversions=V9.8.7\n") << u("版本：V9.8.7");
    QTest::newRow("key missing") << QByteArray("[MV_Option]\nother=1\n") << u("版本：");
    QTest::newRow("other group") << QByteArray("[Other]\nversions=V2\n") << u("版本：");
}

void TestMainWindowShell::versionLabel()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, label);
    if (!ini.isNull()) {
        QFile file(optionFile());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    buildWindow();
    auto *version = window->findChild<QLabel *>("versionLabel");
    QVERIFY(version);
    QCOMPARE(version->text(), label);
    QCOMPARE(version->whatsThis(), QString("bottomLabel"));
    QCOMPARE(version->contentsMargins(), QMargins(0, 0, 10, 0));
    auto *copyright = window->findChild<QLabel *>("copyrightLabel");
    QVERIFY(copyright->text().contains("2024"));
    QVERIFY(!copyright->text().startsWith(' '));
    QCOMPARE(copyright->contentsMargins(), QMargins(10, 0, 0, 0));
}

void TestMainWindowShell::installedVersionFile()
{
    // The build writes the project's version beside the program.
    const QString path = qEnvironmentVariable("MV_BIN_DIR") + "/Option.ini";
    QVERIFY2(QFile::exists(path), qPrintable(path));
    QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(settings.value("MV_Option/versions").toString(),
             "V" + qEnvironmentVariable("MV_PROJECT_VERSION"));
}

void TestMainWindowShell::exitEndsEventLoopWithZero()
{
    buildWindow();
    action("关闭应用")->trigger(); // exit works from the hidden window too
    QTimer::singleShot(0, action("退出应用"), &QAction::trigger);
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    QCOMPARE(QApplication::exec(), 0);
}

void TestMainWindowShell::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<bool>("greyWithAlpha"); // stored as a grey PNG with alpha
    const QSize any;
    QTest::newRow("mirvale") << ":/Resources/mirvale.png" << QSize(48, 48) << true << false;
    QTest::newRow("tray_logo") << ":/Resources/tray_logo.png" << QSize(48, 48) << true << false;
    QTest::newRow("title") << ":/Resources/title.png" << QSize(832, 127) << false << false;
    QTest::newRow("logo") << ":/Resources/logo.png" << QSize(95, 47) << true << false;
    for (const char *name : {"min", "close", "open", "exit"})
        QTest::newRow(name) << QString(":/Resources/%1.png").arg(name) << QSize(24, 24) << true
                            << true;
    for (const char *name : {"check", "sign", "key", "set"}) {
        for (const char *state : {"select", "default"})
            QTest::newRow(qPrintable(QString("bt_%1_%2").arg(name, state)))
                << QString(":/Resources/bt_%1_%2.png").arg(name, state) << QSize(30, 31) << true
                << false;
    }
    for (const char *name : {"bg_circle", "bg_circle_2", "bg_label", "bt_close", "bt_min",
                             "center_bg", "error", "ok", "warn"})
        QTest::newRow(name) << QString(":/Resources/%1.png").arg(name) << any << false << false;
}

void TestMainWindowShell::resources()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(bool, alpha);
    QFETCH(bool, greyWithAlpha);
    buildWindow(); // registers the collection
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    if (size.isValid())
        QCOMPARE(image.size(), size);
    if (alpha)
        QVERIFY(image.hasAlphaChannel());
    if (path.endsWith("tray_logo.png"))
        QCOMPARE(image, QImage(":/Resources/mirvale.png"));
    if (greyWithAlpha) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray header = file.read(26); // signature, IHDR length, type, fields
        QCOMPARE(header.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(int(header.at(25)), 4); // colour type: grey with alpha
        QVERIFY(image.allGray());
    }
}

void TestMainWindowShell::styleSheets_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mustHold");
    QTest::newRow("main") << ":/Qss/main.css" << "QPushButton[ whatsThis=\"topBT\" ]:hover";
    QTest::newRow("keymanage") << ":/Qss/keymanage.css" << "QPushButton[whatsThis=\"resetBT\"]";
    QTest::newRow("settings") << ":/Qss/settings.css" << "QFrame#btFrame";
    for (const char *name : {"aboutset", "check", "check_default", "feedbakset", "mirvale",
                             "updateset", "verifyset"})
        QTest::newRow(name) << QString(":/Qss/%1.css").arg(name) << "{";
}

void TestMainWindowShell::styleSheets()
{
    QFETCH(QString, path);
    QFETCH(QString, mustHold);
    buildWindow();
    const QString sheet = Utils::readfile(path);
    QVERIFY2(sheet.contains(mustHold), qPrintable(path));
    if (path.endsWith("main.css"))
        QCOMPARE(window->styleSheet(), sheet);
}

// The window's sheet reaches every widget inside it by its style tag; a page's sheet only
// that page.
void TestMainWindowShell::styleTagsReachInsideTheWindow_data()
{
    // look: "white" a white button (lighter than an untagged one), "blue" the
    // page sheet's #3b80e5, "plain" the same as an untagged button.
    QTest::addColumn<QString>("tag");
    QTest::addColumn<bool>("inPageSheet");
    QTest::addColumn<QString>("look");
    QTest::newRow("topBT") << "topBT" << false << "white";
    QTest::newRow("topBT inside a page") << "topBT" << true << "white";
    QTest::newRow("sureBT inside the page") << "sureBT" << true << "blue";
    QTest::newRow("sureBT outside the page") << "sureBT" << false << "plain";
}

void TestMainWindowShell::styleTagsReachInsideTheWindow()
{
    QFETCH(QString, tag);
    QFETCH(bool, inPageSheet);
    QFETCH(QString, look);
    buildWindow();

    auto *page = new QWidget(window->centralWidget());
    if (inPageSheet)
        page->setStyleSheet(Utils::readfile(":/Qss/keymanage.css"));
    page->setGeometry(200, 200, 300, 100);
    auto *button = new QPushButton(page);
    button->setWhatsThis(tag);
    button->setGeometry(10, 10, 80, 40);
    auto *untagged = new QPushButton(page);
    untagged->setGeometry(110, 10, 80, 40);
    page->show();
    page->raise();
    QCoreApplication::processEvents();

    const QColor tagged = button->grab().toImage().pixelColor(40, 30);
    const QColor plain = untagged->grab().toImage().pixelColor(40, 30);
    const QByteArray seen = (tagged.name() + " against " + plain.name()).toLatin1();
    if (look == "white")
        QVERIFY2(tagged.lightness() > plain.lightness() + 5 && tagged.lightness() > 245, seen);
    else if (look == "blue")
        QCOMPARE(tagged.name(), QString("#3b80e5"));
    else
        QCOMPARE(tagged.name(), plain.name());
}

void TestMainWindowShell::paintsFrameAndTitle()
{
    buildWindow();
    const QImage shot = window->grab().toImage();
    QCOMPARE(shot.size(), QSize(800, 600));
    QCOMPARE(qAlpha(shot.pixel(0, 300)), 0);                    // outside the frame
    QCOMPARE(shot.pixelColor(1, 300), QColor(102, 102, 102));    // the frame's pen
    const QColor title = shot.pixelColor(300, 120);             // inside the title strip
    QVERIFY2(title.blue() > title.red() + 40, qPrintable(title.name()));
}

QTEST_MAIN(TestMainWindowShell)
#include "test_mainwindow_shell.moc"
