// An outside caller of libpinprompt.so: loads it with dlopen, resolves its exports with dlsym
// and uses them as a token library would, with a second thread at the keyboard.
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <dlfcn.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
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

// Given to the application object while cleanOnFirstShow is set: the style polishes the tip
// as it is shown, before showDlg enters its event loop, and then calls cleanApp from another
// thread and waits for it. (An application-wide event filter would not do: the toolkit runs
// those only in the process's first GUI thread, which need not be the prompt's.)
class CleanOnShow : public QProxyStyle
{
public:
    void polish(QWidget *widget) override
    {
        QProxyStyle::polish(widget);
        if (widget->inherits("LCDTipsDialog") && cleanOnFirstShow.exchange(false))
            cleanAppFromAnotherThread();
    }
    using QProxyStyle::polish;
};

void installCleanOnShow()
{
    if (cleanOnFirstShow.load())
        QApplication::setStyle(new CleanOnShow);
}

// Calls handed to one of the caller's threads, as a token library's worker thread gets them:
// the thread runs serve() and so each call, one at a time, until stop().
class CallQueue
{
public:
    // Runs call in the serving thread and waits until it has returned.
    void run(const std::function<void()> &call)
    {
        std::unique_lock<std::mutex> lock(mutex);
        const quint64 ticket = ++queued;
        calls.push_back(call);
        wake.notify_all();
        wake.wait(lock, [&] { return done >= ticket; });
    }

    void serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !calls.empty(); });
            if (calls.empty())
                return;
            const std::function<void()> call = calls.front();
            calls.pop_front();
            lock.unlock();
            call();
            lock.lock();
            ++done;
            wake.notify_all();
        }
    }

    void stop()
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        wake.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> calls;
    quint64 queued = 0;
    quint64 done = 0;
    bool stopping = false;
};

// The process's main thread serves these while the test framework runs in a thread of its own.
CallQueue mainThreadCalls;

// An extra thread of the caller's, alive until destroyed.
class CallerThread
{
public:
    CallerThread() : worker([this] { calls.serve(); }) {}
    ~CallerThread()
    {
        calls.stop();
        worker.join();
    }
    CallerThread(const CallerThread &) = delete;
    CallerThread &operator=(const CallerThread &) = delete;

    void run(const std::function<void()> &call) { calls.run(call); }

private:
    CallQueue calls;
    std::thread worker;
};

// One prompt of a sequence: which of the caller's threads asks (0: the process's main thread,
// n: extra thread n), and for what.
enum class Prompt { Password, TipUntilCleanApp, TimedTip };
struct PromptStep
{
    int thread;
    Prompt prompt;
};
using PromptSteps = QVector<PromptStep>;

} // namespace

Q_DECLARE_METATYPE(PromptSteps)

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
        qAddPreRoutine(installCleanOnShow);
        QVERIFY2(lib.handle, "the library was not loaded");
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
        // What the field holds once typed, and what Ok writes (zero byte aside).
        QTest::addColumn<QString>("held");
        QTest::addColumn<QByteArray>("written");

        const QString atCapacity = QString("0123456789abcdefghijklmnopqrstuvwxyz").repeated(2).left(PINPROMPT_PASSWORD_CAPACITY);
        const QString accented = QString::fromUtf8("ÀÉîõü ÿßñç©±µ¡¿×÷");
        const QString accentedAtCapacity = accented.repeated(4).left(PINPROMPT_PASSWORD_CAPACITY);
        QTest::newRow("Ok with a password") << "s3cr3t!PIN" << Ending::OkButton << 0 << "s3cr3t!PIN"
                                            << QByteArray("s3cr3t!PIN");
        QTest::newRow("Ok with an empty field") << "" << Ending::OkButton << 0 << "" << QByteArray("");
        QTest::newRow("Ok with Latin-1 letters") << QString::fromUtf8("pässwörd") << Ending::OkButton << 0
                                                << QString::fromUtf8("pässwörd") << QByteArray("p\xe4ssw\xf6rd");
        QTest::newRow("Latin-1 accented text, byte for byte")
            << accented << Ending::OkButton << 0 << accented
            << QByteArray("\xc0\xc9\xee\xf5\xfc \xff\xdf\xf1\xe7\xa9\xb1\xb5\xa1\xbf\xd7\xf7");
        QTest::newRow("characters beyond Latin-1 are not taken")
            << QString::fromUtf8("a€жb中") << Ending::OkButton << 0 << "ab" << QByteArray("ab");
        QTest::newRow("a character beyond 16 bits is not taken")
            << QString::fromUtf8("x😀y") << Ending::OkButton << 0 << "xy" << QByteArray("xy");
        QTest::newRow("Ok at the capacity (63)") << atCapacity << Ending::OkButton << 0 << atCapacity
                                                 << atCapacity.toLatin1();
        QTest::newRow("Ok with 64 typed") << atCapacity + "X" << Ending::OkButton << 0 << atCapacity
                                          << atCapacity.toLatin1();
        QTest::newRow("Ok, typed beyond the capacity") << atCapacity + "XYZ" << Ending::OkButton << 0 << atCapacity
                                                      << atCapacity.toLatin1();
        QTest::newRow("Latin-1 accented text at the capacity, one more typed")
            << accentedAtCapacity + QString::fromUtf8("é") << Ending::OkButton << 0 << accentedAtCapacity
            << accentedAtCapacity.toLatin1();
        QTest::newRow("Cancel") << "typed" << Ending::CancelButton << PINPROMPT_REJECTED << "typed" << QByteArray();
        QTest::newRow("Escape") << "typed" << Ending::EscapeKey << PINPROMPT_REJECTED << "typed" << QByteArray();
        QTest::newRow("window closed") << "typed" << Ending::CloseButton << PINPROMPT_REJECTED << "typed"
                                       << QByteArray();
    }

    void getPw()
    {
        QFETCH(QString, typed);
        QFETCH(Ending, ending);
        QFETCH(int, result);
        QFETCH(QString, held);
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
                d.check(field->text() == held, "field holds " + field->text());
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

    void getPwKeys_data()
    {
        QTest::addColumn<Ending>("key");
        QTest::addColumn<int>("result");
        QTest::newRow("Enter") << Ending::EnterKey << 0;
        QTest::newRow("keypad Enter") << Ending::KeypadEnterKey << 0;
        QTest::newRow("Escape") << Ending::EscapeKey << PINPROMPT_REJECTED;
    }

    // The user types the PIN and ends with a key in the field: Enter confirms it as Ok does,
    // Escape drops it. On a real display the keys go through the X server.
    void getPwKeys()
    {
        QFETCH(Ending, key);
        QFETCH(int, result);
        std::vector<char> buffer(bufferSize, guardByte);
        int got = -1;
        PromptDriver driver;
        driver.run([&] { got = lib.GetPW(buffer.data()); }, [&](PromptDriver &d) {
            QWidget *dialog = d.waitForWindow("LoginDialog");
            if (!dialog)
                return;
            auto *field = dialog->findChild<QLineEdit *>("pwLineEdit");
            d.userTypes(field, "802416");
            d.userPressesKey(field, key);
            d.check(d.waitForReturn(), "GetPW did not return after the key");
        });
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
        QCOMPARE(got, result);
        if (result == 0)
            QCOMPARE(QByteArray(buffer.data()), QByteArray("802416"));
        else
            QCOMPARE(buffer[0], guardByte);
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

    void cleanAppSoonAfterShowDlg_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("fromMainThread");
        for (const int ms : {0, 1, 5, 20}) {
            QTest::addRow("%d ms, main thread", ms) << ms << true;
            QTest::addRow("%d ms, another thread", ms) << ms << false;
        }
    }

    // showDlg in a worker, and cleanApp a moment after the call (the user confirmed on the
    // token at once): whether the tip is up or still being built, showDlg returns without the
    // user, and the record is clear for the next tip.
    void cleanAppSoonAfterShowDlg()
    {
        QFETCH(int, delayMs);
        QFETCH(bool, fromMainThread);
        PromptDriver driver;
        driver.run(
            [&] {
                driver.calling();
                lib.showDlg();
            },
            [&](PromptDriver &d) {
                d.sleepFromCall(delayMs);
                if (fromMainThread)
                    mainThreadCalls.run(lib.cleanApp);
                else
                    std::thread(lib.cleanApp).join();
                d.check(d.waitForReturn(), "showDlg kept running after cleanApp");
            });
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
        QVERIFY(showDlgShowsTip());
    }

    // showDlg waits behind an open password dialog; cleanApp comes while it waits (its
    // operation is over). Once the password is given, showDlg returns without building a tip.
    void cleanAppWhileQueuedBehindGetPw()
    {
        std::vector<char> buffer(bufferSize, guardByte);
        std::atomic<int> got{-1};
        std::atomic<bool> passwordUp{false};
        std::thread password;
        int builtWithPassword = -1;
        PromptDriver driver;
        driver.run(
            [&] {
                password = std::thread([&] { got = lib.GetPW(buffer.data()); });
                while (!passwordUp.load())
                    PromptDriver::sleepMs(5);
                driver.calling();
                lib.showDlg();
            },
            [&](PromptDriver &d) {
                QWidget *dialog = d.waitForWindow("LoginDialog");
                builtWithPassword = PromptDriver::applicationsBuilt();
                passwordUp.store(true);
                if (!dialog)
                    return;
                d.sleepFromCall(300); // showDlg is waiting for its turn now
                std::thread(lib.cleanApp).join();
                d.userTypes(dialog->findChild<QLineEdit *>("pwLineEdit"), "1357");
                d.userClicks(dialog->findChild<QPushButton *>("okBtn"));
                d.check(d.waitForReturn(), "showDlg did not return after cleanApp and the password");
            });
        password.join();
        QVERIFY2(driver.failures().isEmpty(), qPrintable(driver.failures().join("; ")));
        QCOMPARE(got.load(), 0);
        QCOMPARE(QByteArray(buffer.data()), QByteArray("1357"));
        QVERIFY2(PromptDriver::applicationsBuilt() == builtWithPassword, "showDlg built a tip after its cleanApp");
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

    void promptsFromAnyThread_data()
    {
        QTest::addColumn<PromptSteps>("steps");
        const PromptStep mainPw{0, Prompt::Password};
        QTest::newRow("main, thread, main, thread: passwords")
            << PromptSteps{mainPw, {1, Prompt::Password}, mainPw, {1, Prompt::Password}};
        QTest::newRow("main, thread, main, thread: every prompt")
            << PromptSteps{{0, Prompt::TipUntilCleanApp}, {1, Prompt::Password}, {0, Prompt::TimedTip},
                           {1, Prompt::TipUntilCleanApp}, mainPw};
        QTest::newRow("two different extra threads")
            << PromptSteps{{1, Prompt::Password}, {2, Prompt::Password}, {1, Prompt::TimedTip},
                           {2, Prompt::TipUntilCleanApp}};
        QTest::newRow("extra thread, then main") << PromptSteps{{2, Prompt::TipUntilCleanApp}, mainPw};
    }

    // Each prompt comes from the thread its step names, and the user answers it: the dialog
    // shows, takes the typed text and the click, and the export returns with its result.
    void promptsFromAnyThread()
    {
        QFETCH(PromptSteps, steps);
        std::map<int, std::unique_ptr<CallerThread>> threads;
        int n = 0;
        for (const PromptStep &step : steps) {
            ++n;
            const QString where = step.thread == 0 ? "the main thread" : QString("thread %1").arg(step.thread);
            const QString what = QString("prompt %1 from %2").arg(n).arg(where);
            if (step.thread != 0 && !threads.count(step.thread))
                threads[step.thread].reset(new CallerThread);
            auto inCallerThread = [&](const std::function<void()> &call) {
                return [&, call] {
                    if (step.thread == 0)
                        mainThreadCalls.run(call);
                    else
                        threads[step.thread]->run(call);
                };
            };

            PromptDriver driver;
            switch (step.prompt) {
            case Prompt::Password: {
                const QString typed = QString("pin%1-%2").arg(n).arg(step.thread);
                std::vector<char> buffer(bufferSize, guardByte);
                int got = -1;
                driver.run(inCallerThread([&] { got = lib.GetPW(buffer.data()); }), [&](PromptDriver &d) {
                    QWidget *dialog = d.waitForWindow("LoginDialog");
                    if (!dialog)
                        return;
                    d.checkPainted(dialog, "the password dialog");
                    d.userTypes(dialog->findChild<QLineEdit *>("pwLineEdit"), typed);
                    d.userClicks(dialog->findChild<QPushButton *>("okBtn"));
                    d.check(d.waitForReturn(), "GetPW did not return after Ok");
                });
                QVERIFY2(driver.failures().isEmpty(), qPrintable(what + ": " + driver.failures().join("; ")));
                QVERIFY2(got == 0, qPrintable(what + QString(": GetPW gave %1").arg(got)));
                QCOMPARE(QByteArray(buffer.data()), typed.toLatin1());
                break;
            }
            case Prompt::TipUntilCleanApp:
                driver.run(inCallerThread(lib.showDlg), [&](PromptDriver &d) {
                    QWidget *tip = d.waitForWindow("LCDTipsDialog");
                    if (!tip)
                        return;
                    d.checkPainted(tip, "the tip");
                    std::thread(lib.cleanApp).join();
                    d.check(d.waitForReturn(), "showDlg did not return after cleanApp");
                });
                QVERIFY2(driver.failures().isEmpty(), qPrintable(what + ": " + driver.failures().join("; ")));
                break;
            case Prompt::TimedTip:
                driver.run(inCallerThread(lib.showTips), [&](PromptDriver &d) {
                    QWidget *tip = d.waitForWindow("LCDTipsDialog");
                    d.checkPainted(tip, "the tip");
                    d.userPressesKey(tip, Ending::EscapeKey);
                    d.check(d.waitForReturn(), "showTips did not return after Escape");
                });
                QVERIFY2(driver.failures().isEmpty(), qPrintable(what + ": " + driver.failures().join("; ")));
                break;
            }
            QVERIFY2(!QCoreApplication::instance(), qPrintable(what + ": its application object outlived it"));
        }
    }

    void cleanupTestCase()
    {
        if (lib.handle)
            QCOMPARE(dlclose(lib.handle), 0);
    }
};

namespace {

bool loadLibrary()
{
    if (libraryPath().isEmpty()) {
        std::fprintf(stderr, "PINPROMPT_LIB does not name the library\n");
        return false;
    }
    lib.handle = dlopen(libraryPath().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) {
        std::fprintf(stderr, "%s\n", dlerror());
        return false;
    }
    lib.initApp = reinterpret_cast<VoidFn>(dlsym(lib.handle, "initApp"));
    lib.cleanApp = reinterpret_cast<VoidFn>(dlsym(lib.handle, "cleanApp"));
    lib.GetPW = reinterpret_cast<GetPwFn>(dlsym(lib.handle, "GetPW"));
    lib.showDlg = reinterpret_cast<VoidFn>(dlsym(lib.handle, "showDlg"));
    lib.showTips = reinterpret_cast<VoidFn>(dlsym(lib.handle, "_Z8showTipsv"));
    return lib.initApp && lib.cleanApp && lib.GetPW && lib.showDlg && lib.showTips;
}

// The first prompt of the process: a tip, taken down by cleanApp from a second thread once
// its application object has been built (a cleanApp before would end the call before the
// library's thread has used the toolkit).
void firstPrompt()
{
    std::thread taker([] {
        while (PromptDriver::applicationsBuilt() == 0)
            PromptDriver::sleepMs(5);
        lib.cleanApp();
    });
    lib.showDlg();
    taker.join();
}

} // namespace

// An outside caller has no toolkit of its own, so the library's prompts are the first use of
// it in the process; the toolkit's GUI thread is the first thread that uses it. The test
// framework uses the toolkit itself, so the first prompt comes before it starts, and it runs
// in a thread of its own: a thread other than the toolkit's first keeps the toolkit's data
// until it ends, which the main thread never does before the process's end. The main thread
// meanwhile takes calls like any other thread of the caller.
int main(int argc, char **argv)
{
    if (!loadLibrary())
        return 1;
    PromptDriver::watchApplications();
    firstPrompt();
    int result = 1;
    std::thread framework([&] {
        {
            TestPinPromptCaller test;
            result = QTest::qExec(&test, argc, argv);
        }
        mainThreadCalls.stop();
    });
    mainThreadCalls.serve();
    framework.join();
    return result;
}

#include "test_pinprompt_caller.moc"
