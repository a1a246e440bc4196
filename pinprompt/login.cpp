#include "login.h"

#include <QApplication>
#include <QMetaObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

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

// The thread that runs every prompt: its application object, its dialog and its event loop.
// The toolkit's GUI thread cannot move: once an application object has lived in one thread,
// one built later in another thread maps windows that paint nothing and take no input under a
// window manager. The caller's threads may change from prompt to prompt, so none of them runs
// a prompt; the caller's thread waits for this one instead.
//
// Started by the first prompt, it waits between prompts for the rest of the process; the
// library is never unloaded (it is linked with -z nodelete), so a later dlopen finds the same
// thread. It is never joined: a thread that ends after exit() has begun would take its toolkit
// data down after the toolkit's own, and an idle thread does not hold up the end of the
// process. The object lives on the heap and is never destroyed, so nothing it uses goes away
// under a prompt that still runs while another thread calls exit().
class PromptThread
{
public:
    // Runs prompt in the prompt thread and waits until it has returned; an exception that
    // leaves it is thrown again here. One prompt at a time: a second caller waits for the first.
    void run(const std::function<void()> &prompt)
    {
        std::lock_guard<std::mutex> onePrompt(callMutex);
        std::unique_lock<std::mutex> lock(mutex);
        if (!worker.joinable())
            worker = std::thread(&PromptThread::serve, this);
        current = &prompt;
        failure = nullptr;
        const unsigned long long ticket = ++requested;
        wake.notify_all();
        wake.wait(lock, [&] { return completed == ticket; });
        current = nullptr;
        if (failure)
            std::rethrow_exception(std::exchange(failure, nullptr));
    }

private:
    void serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return completed != requested; });
            const std::function<void()> &prompt = *current;
            lock.unlock();
            std::exception_ptr thrown;
            try {
                prompt();
            } catch (...) {
                thrown = std::current_exception();
            }
            lock.lock();
            failure = thrown;
            ++completed;
            wake.notify_all();
        }
    }

    std::mutex callMutex;
    std::mutex mutex;
    std::condition_variable wake;
    const std::function<void()> *current = nullptr;
    unsigned long long requested = 0;
    unsigned long long completed = 0;
    std::exception_ptr failure;
    std::thread worker;
};

PromptThread *const promptThread = new PromptThread;

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
    int result = PINPROMPT_REJECTED;
    promptThread->run([&] {
        int argc = 0;
        QApplication app(argc, nullptr);
        LoginDialog dialog(nullptr);
        if (dialog.exec() != QDialog::Accepted)
            return;
        dialog.GetPW(pw);
        result = 0;
    });
    return result;
}

extern "C" void showDlg(void)
{
    if (shareApp.load())
        return;
    promptThread->run([] {
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
    });
}

void showTips()
{
    promptThread->run([] {
        int argc = 0;
        QApplication app(argc, nullptr);
        LCDTipsDialog dialog(nullptr);
        dialog.startTimer(60000);
        dialog.show();
        // Stays up until the timer or the user closes it: closing the last window ends the loop.
        app.exec();
    });
}
