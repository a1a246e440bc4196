// An outside caller of libpinprompt.so: loads it with dlopen, resolves its exports with dlsym
// and uses them as a token library would, with a second thread at the keyboard.
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "login.h"
#include "promptdriver.h"

namespace {

using VoidFn = void (*)();
using GetPwFn = int (*)(char *);

struct PinPromptLibrary
{
    void *handle = nullptr;
    VoidFn initApp = nullptr;
    VoidFn cleanApp = nullptr;
    GetPwFn GetPW = nullptr;
    VoidFn showDlg = nullptr;
    VoidFn showTips = nullptr;
};

PinPromptLibrary lib;

QByteArray libraryPath()
{
    return qgetenv("PINPROMPT_LIB");
}

const char guardByte = char(0x5a);
constexpr int bufferSize = PINPROMPT_PASSWORD_CAPACITY + 1 + 32;

// Runs cleanApp from a thread of its own, as a caller does while showDlg blocks.
void cleanAppFromAnotherThread()
{
    std::thread other(lib.cleanApp);
    other.join();
}

// Set while the test wants cleanApp to come between the tip's show and its event loop.
std::atomic<bool> cleanOnFirstShow{false};

// Installed on each application object: when the tip is shown, before showDlg enters its
// event loop, calls cleanApp from another thread and waits for it.
class CleanOnShow : public QObject
{
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->inherits("LCDTipsDialog")
            && cleanOnFirstShow.exchange(false))
            cleanAppFromAnotherThread();
        return false;
    }
};

void installCleanOnShow()
{
    QCoreApplication *app = QCoreApplication::instance();
    app->installEventFilter(new CleanOnShow(app));
}

} // namespace

class TestPinPromptCaller : public QObject
{
    Q_OBJECT

private:
    // Runs showDlg; if a tip appears, lets the user close it. Returns whether one appeared.
    bool showDlgShowsTip(Ending how = Ending::CloseButton)
    {
        PromptDriver driver;
        bool shown = false;
        const int before = PromptDriver::applicationsBuilt();
        driver.run(lib.showDlg, [&](PromptDriver &d) {
            // showDlg that shows nothing makes no application object either
            while (!d.waitForReturn(10) && PromptDriver::applicationsBuilt() == before) {
            }
            if (PromptDriver::applicationsBuilt() == before)
                return;
            QWidget *tip = d.waitForWindow("LCDTipsDialog");
            shown = tip != nullptr;
            d.end(tip, how);
            d.check(d.waitForReturn(), "showDlg did not return after the user closed the tip");
        });
        const QStringList failures = driver.failures();
        if (!failures.isEmpty())
            qWarning() << failures;
        return shown && failures.isEmpty();
    }

    // showDlg returns at once: no application object, no tip.
    bool showDlgReturnsAtOnce()
    {
        const int before = PromptDriver::applicationsBuilt();
        lib.showDlg();
        return PromptDriver::applicationsBuilt() == before;
    }

private slots:
    void initTestCase()
    {
        PromptDriver::watchApplications();
        qAddPreRoutine(installCleanOnShow);
        QVERIFY2(!libraryPath().isEmpty(), "PINPROMPT_LIB names the library");
        lib.handle = dlopen(libraryPath().constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(lib.handle, dlerror());
        lib.initApp = reinterpret_cast<VoidFn>(dlsym(lib.handle, "initApp"));
        lib.cleanApp = reinterpret_cast<VoidFn>(dlsym(lib.handle, "cleanApp"));
        lib.GetPW = reinterpret_cast<GetPwFn>(dlsym(lib.handle, "GetPW"));
        lib.showDlg = reinterpret_cast<VoidFn>(dlsym(lib.handle, "showDlg"));
        lib.showTips = reinterpret_cast<VoidFn>(dlsym(lib.handle, "_Z8showTipsv"));
        QVERIFY(lib.initApp && lib.cleanApp && lib.GetPW && lib.showDlg && lib.showTips);
    }

    void init()
    {
        lib.initApp();
        QVERIFY2(!QCoreApplication::instance(), "no application object outlives a prompt");
    }

    void cleanup()
    {
        QVERIFY2(!QCoreApplication::instance(), "no application object outlives a prompt");
    }

    void exportedSymbols()
    {
        const QByteArray command = "nm -D --defined-only '" + libraryPath() + "'";
        FILE *nm = popen(command.constData(), "r");
        QVERIFY(nm);
        // Weak definitions (template instances, typeinfo) come from the headers the library
        // includes, differ between compilers and build types, and belong to no one library.
        QSet<QByteArray> symbols;
        QSet<QByteArray> strongSymbols;
        char line[1024];
        while (std::fgets(line, sizeof line, nm)) {
            const QList<QByteArray> fields = QByteArray(line).trimmed().split(' ');
            if (fields.size() != 3)
                continue;
            symbols.insert(fields[2]);
            if (!QByteArray("WwVv").contains(fields[1]))
                strongSymbols.insert(fields[2]);
        }
        QCOMPARE(pclose(nm), 0);

        const QList<QByteArray> required = {
            // plain C names
            "initApp", "cleanApp", "GetPW", "showDlg",
            // showTips() and Login::Login()
            "_Z8showTipsv", "_ZN5LoginC1Ev", "_ZN5LoginC2Ev",
            // the resource pair
            "_Z22qInitResources_lcdtipsv", "_Z25qCleanupResources_lcdtipsv",
            // LoginDialog
            "_ZN11LoginDialogC1EP7QWidget", "_ZN11LoginDialogC2EP7QWidget",
            "_ZN11LoginDialogD0Ev", "_ZN11LoginDialogD1Ev", "_ZN11LoginDialogD2Ev",
            "_ZN11LoginDialog5GetPWEPc",
            "_ZN11LoginDialog16on_okBtn_clickedEv", "_ZN11LoginDialog20on_CancelBtn_clickedEv",
            "_ZNK11LoginDialog10metaObjectEv", "_ZN11LoginDialog11qt_metacastEPKc",
            "_ZN11LoginDialog11qt_metacallEN11QMetaObject4CallEiPPv",
            "_ZN11LoginDialog16staticMetaObjectE",
            // LCDTipsDialog
            "_ZN13LCDTipsDialogC1EP7QWidget", "_ZN13LCDTipsDialogC2EP7QWidget",
            "_ZN13LCDTipsDialogD0Ev", "_ZN13LCDTipsDialogD1Ev", "_ZN13LCDTipsDialogD2Ev",
            "_ZN13LCDTipsDialog10startTimerEi", "_ZN13LCDTipsDialog11tipsTimeoutEv",
            "_ZNK13LCDTipsDialog10metaObjectEv", "_ZN13LCDTipsDialog11qt_metacastEPKc",
            "_ZN13LCDTipsDialog11qt_metacallEN11QMetaObject4CallEiPPv",
            "_ZN13LCDTipsDialog16staticMetaObjectE",
        };
        for (const QByteArray &name : required)
            QVERIFY2(symbols.contains(name), name.constData());

        // Nothing else of the library's own leaves it: no internals such as the tip record,
        // no plain showTips.
        const QSet<QByteArray> linkerMarks = {"__bss_start", "_edata", "_end"};
        for (const QByteArray &name : strongSymbols) {
            const bool allowed = required.contains(name) || linkerMarks.contains(name)
                || name.contains("11LoginDialog") || name.contains("13LCDTipsDialog");
            QVERIFY2(allowed, ("unexpected export " + name).constData());
        }
        QVERIFY(!symbols.contains("showTips"));
    }

    void getPw_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("result");
        QTest::addColumn<QByteArray>("written");

        const QString atCapacity = QString("0123456789abcdefghijklmnopqrstuvwxyz").repeated(2).left(PINPROMPT_PASSWORD_CAPACITY);
        QTest::newRow("Ok with a password") << "s3cr3t!PIN" << Ending::OkButton << 0 << QByteArray("s3cr3t!PIN");
        QTest::newRow("Ok with an empty field") << "" << Ending::OkButton << 0 << QByteArray("");
        QTest::newRow("Ok with Latin-1 letters") << QString::fromUtf8("pässwörd") << Ending::OkButton << 0
                                                << QByteArray("p\xe4ssw\xf6rd");
        QTest::newRow("Ok at the capacity") << atCapacity << Ending::OkButton << 0 << atCapacity.toLatin1();
        QTest::newRow("Ok, typed beyond the capacity") << atCapacity + "XYZ" << Ending::OkButton << 0
                                                      << atCapacity.toLatin1();
        QTest::newRow("Cancel") << "typed" << Ending::CancelButton << PINPROMPT_REJECTED << QByteArray();
        QTest::newRow("Escape") << "typed" << Ending::EscapeKey << PINPROMPT_REJECTED << QByteArray();
        QTest::newRow("window closed") << "typed" << Ending::CloseButton << PINPROMPT_REJECTED << QByteArray();
    }

    void getPw()
    {
        QFETCH(QString, typed);
        QFETCH(Ending, ending);
        QFETCH(int, result);
        QFETCH(QByteArray, written);

        std::vector<char> buffer(bufferSize, guardByte);
        const bool takeScreenshot = QTest::currentDataTag() == QByteArray("Ok with a password");
        int got = -1;
        PromptDriver driver;
        driver.run([&] { got = lib.GetPW(buffer.data()); }, [&](PromptDriver &d) {
            QWidget *dialog = d.waitForWindow("LoginDialog");
            if (!dialog)
                return;
            d.inGui([&] {
                d.check(dialog->windowTitle() == "Input PassWord", "title is " + dialog->windowTitle());
                d.check(dialog->isModal(), "the password dialog is modal");
                auto *field = dialog->findChild<QLineEdit *>("pwLineEdit");
                d.check(field, "no password field");
                if (!field)
                    return;
                PromptDriver::typeText(field, typed);
                d.check(field->echoMode() == QLineEdit::Password, "the field does not mask");
                d.check(field->text() == typed.left(PINPROMPT_PASSWORD_CAPACITY), "field holds " + field->text());
                d.check(typed.isEmpty() || field->displayText() != field->text(), "typed text is shown unmasked");
            });
            if (takeScreenshot)
                d.screenshot("password-dialog");
            d.end(dialog, ending);
            d.check(d.waitForReturn(), "GetPW did not return");
        });
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
        QCOMPARE(got, result);

        const int n = result == 0 ? written.size() : 0;
        if (result == 0) {
            QCOMPARE(QByteArray(buffer.data(), n), written);
            QCOMPARE(buffer[n], '\0');
        }
        for (int i = result == 0 ? n + 1 : 0; i < bufferSize; ++i)
            QVERIFY2(buffer[i] == guardByte, qPrintable(QString("byte %1 was written").arg(i)));
    }

    void getPwWithoutBuffer()
    {
        const int before = PromptDriver::applicationsBuilt();
        QCOMPARE(lib.GetPW(nullptr), PINPROMPT_REJECTED);
        QCOMPARE(PromptDriver::applicationsBuilt(), before);
    }

    // cleanApp with no tip does nothing, twice over, and leaves nothing behind that would
    // end a later tip; showDlg then shows the tip until cleanApp comes from another thread.
    void showDlgEndedByCleanApp()
    {
        lib.cleanApp();
        lib.cleanApp();
        PromptDriver driver;
        driver.run(lib.showDlg, [&](PromptDriver &d) {
            QWidget *tip = d.waitForWindow("LCDTipsDialog");
            if (!tip)
                return;
            d.inGui([&] {
                d.check(tip->windowTitle().isEmpty(), "the tip has a title");
                d.check(!tip->isModal(), "the tip is modal");
                auto *label = tip->findChild<QLabel *>("label");
                d.check(label && label->text().isEmpty(), "the tip shows text of its own");
                d.check(label && label->pixmap(Qt::ReturnByValue).size() == QSize(384, 261),
                        "the picture is not shown at 384 x 261");
                auto *timer = tip->findChild<QTimer *>();
                d.check(timer && !timer->isActive(), "showDlg started the tip's timer");
                QImageReader picture(":/images/MVChangepinSure1.gif");
                d.check(picture.format() == "gif" && picture.size() == QSize(384, 261) && picture.imageCount() == 1,
                        "the picture is not a one-frame GIF of 384 x 261");
            });
            d.screenshot("tip-dialog");
            d.sleepMs(300);
            d.check(d.stillVisible(tip), "the tip went down by itself");
            std::thread(lib.cleanApp).join();
            d.check(d.waitForReturn(), "showDlg did not return after cleanApp");
        });
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));

        QFile picture(":/images/MVChangepinSure1.gif");
        QVERIFY(picture.open(QIODevice::ReadOnly));
        QCOMPARE(picture.read(6), QByteArray("GIF89a"));

        // The record is clear: the next showDlg shows the tip again.
        QVERIFY(showDlgShowsTip());
    }

    void showDlgClosedByUser_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<bool>("clearWithCleanApp");
        QTest::newRow("close button, then cleanApp") << Ending::CloseButton << true;
        QTest::newRow("Escape, then cleanApp") << Ending::EscapeKey << true;
        QTest::newRow("close button, then initApp") << Ending::CloseButton << false;
    }

    // The user takes the tip down: showDlg returns and the record stays set, so the next
    // showDlg shows nothing until cleanApp or initApp clears it.
    void showDlgClosedByUser()
    {
        QFETCH(Ending, ending);
        QFETCH(bool, clearWithCleanApp);

        QVERIFY(showDlgShowsTip(ending));
        QVERIFY(showDlgReturnsAtOnce());
        QVERIFY(showDlgReturnsAtOnce());
        if (clearWithCleanApp)
            cleanAppFromAnotherThread();
        else
            lib.initApp();

        // A new tip, and nothing left over from clearing the old one takes it down.
        PromptDriver driver;
        driver.run(lib.showDlg, [&](PromptDriver &d) {
            QWidget *tip = d.waitForWindow("LCDTipsDialog");
            d.sleepMs(400);
            d.check(tip && d.stillVisible(tip), "the new tip did not stay up");
            std::thread(lib.cleanApp).join();
            d.check(d.waitForReturn(), "showDlg did not return after cleanApp");
        });
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
    }

    // initApp while the tip is up only forgets it: the tip stays, a following cleanApp has
    // nothing to end, and the user's close ends showDlg with the record clear.
    void initAppWhileUp()
    {
        PromptDriver driver;
        driver.run(lib.showDlg, [&](PromptDriver &d) {
            QWidget *tip = d.waitForWindow("LCDTipsDialog");
            if (!tip)
                return;
            lib.initApp();
            d.sleepMs(300);
            d.check(d.stillVisible(tip), "initApp took the tip down");
            lib.cleanApp();
            d.sleepMs(300);
            d.check(d.stillVisible(tip), "cleanApp after initApp took the tip down");
            d.end(tip, Ending::CloseButton);
            d.check(d.waitForReturn(), "showDlg did not return after the user closed the tip");
        });
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
        QVERIFY(showDlgShowsTip());
    }

    // cleanApp after showDlg has recorded and shown the tip but before its event loop runs:
    // the loop still ends.
    void cleanAppBeforeTheLoopRuns()
    {
        cleanOnFirstShow.store(true);
        PromptDriver driver;
        driver.run(lib.showDlg, [&](PromptDriver &d) {
            // Only a failure needs this thread: the tip must go down without anyone's help.
            if (!d.waitForReturn(5000))
                d.check(false, "showDlg kept running after cleanApp");
        });
        QVERIFY(!cleanOnFirstShow.load());
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
        QVERIFY(showDlgShowsTip());
    }

    void showTips_data()
    {
        QTest::addColumn<bool>("byTimer");
        QTest::addColumn<Ending>("ending");
        QTest::newRow("closed by its timer") << true << Ending::CloseButton;
        QTest::newRow("Escape") << false << Ending::EscapeKey;
        QTest::newRow("close button") << false << Ending::CloseButton;
    }

    // showTips keeps the tip up until its 60 s timer or the user closes it. The timer case
    // shortens the running timer through the tip's own timer object.
    void showTips()
    {
        QFETCH(bool, byTimer);
        QFETCH(Ending, ending);
        PromptDriver driver;
        driver.run(lib.showTips, [&](PromptDriver &d) {
            QWidget *tip = d.waitForWindow("LCDTipsDialog");
            if (!tip)
                return;
            d.inGui([&] {
                auto *timer = tip->findChild<QTimer *>();
                d.check(timer && timer->isActive() && timer->isSingleShot() && timer->interval() == 60000,
                        "the tip's timer is not a running single-shot 60 s timer");
            });
            d.sleepMs(200);
            d.check(d.stillVisible(tip), "showTips did not keep the tip up");
            if (byTimer) {
                d.inGui([&] {
                    if (auto *timer = tip->findChild<QTimer *>())
                        timer->start(100);
                });
            } else {
                d.end(tip, ending);
            }
            d.check(d.waitForReturn(), "showTips did not return");
        });
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
    }

    void cleanupTestCase()
    {
        if (lib.handle)
            QCOMPARE(dlclose(lib.handle), 0);
    }
};

QTEST_APPLESS_MAIN(TestPinPromptCaller)
#include "test_pinprompt_caller.moc"
