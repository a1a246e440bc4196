#include "login.h"

#include <QApplication>
#include <QMetaObject>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>

#include "lcdtipsdialog.h"
#include "logindialog.h"

namespace {

// The application object of the last showDlg; cleared by initApp and cleanApp. Only ever
// compared with null: after a user closed the tip it still holds the address of an object
// that showDlg has since destroyed.
std::atomic<QApplication *> shareApp{nullptr};

// The application object whose event loop a cleanApp may end. showDlg sets it before it
// records the tip and clears it before destroying the object, both under tipLoopMutex, so a
// cleanApp from another thread never reaches a destroyed object.
std::mutex tipLoopMutex;
QApplication *tipLoopApp = nullptr;
bool tipLoopQuitRequested = false;

void quitIfRequested()
{
    bool requested;
    {
        std::lock_guard<std::mutex> lock(tipLoopMutex);
        requested = tipLoopQuitRequested;
    }
    if (requested)
        QCoreApplication::quit();
}

// Makes an application object reachable for cleanApp for as long as it lives.
class TipLoop
{
public:
    explicit TipLoop(QApplication *app)
    {
        std::lock_guard<std::mutex> lock(tipLoopMutex);
        tipLoopApp = app;
        tipLoopQuitRequested = false;
    }
    ~TipLoop()
    {
        std::lock_guard<std::mutex> lock(tipLoopMutex);
        tipLoopApp = nullptr;
    }
    TipLoop(const TipLoop &) = delete;
    TipLoop &operator=(const TipLoop &) = delete;
};

} // namespace

Login::Login()
{
}

extern "C" void initApp(void)
{
    shareApp.store(nullptr);
}

extern "C" void cleanApp(void)
{
    // The record is taken under the lock: a showDlg that starts after it was cleared waits
    // here, so this call never ends a tip that it did not see recorded.
    std::lock_guard<std::mutex> lock(tipLoopMutex);
    if (!shareApp.exchange(nullptr))
        return;
    if (!tipLoopApp)
        return; // the tip's loop has already ended
    // The flag covers a loop that has not started yet; the queued call wakes one that runs.
    tipLoopQuitRequested = true;
    QMetaObject::invokeMethod(tipLoopApp, &quitIfRequested, Qt::QueuedConnection);
}

extern "C" int GetPW(char *pw)
{
    if (!pw)
        return PINPROMPT_REJECTED;
    int argc = 0;
    QApplication app(argc, nullptr);
    LoginDialog dialog(nullptr);
    if (dialog.exec() != QDialog::Accepted)
        return PINPROMPT_REJECTED;
    dialog.GetPW(pw);
    return 0;
}

extern "C" void showDlg(void)
{
    if (shareApp.load())
        return;
    int argc = 0;
    std::unique_ptr<QApplication> app(new QApplication(argc, nullptr));
    TipLoop loop(app.get());
    shareApp.store(app.get());
    LCDTipsDialog dialog(nullptr);
    dialog.show();
    // A cleanApp that came before the loop started is honoured as soon as it runs.
    QTimer::singleShot(0, app.get(), &quitIfRequested);
    app->exec();
    // The dialog goes first, then the loop's registration, then the application object.
}

void showTips()
{
    int argc = 0;
    QApplication app(argc, nullptr);
    LCDTipsDialog dialog(nullptr);
    dialog.startTimer(60000);
    dialog.show();
    // Stays up until the timer or the user closes it: closing the last window ends the loop.
    app.exec();
}
