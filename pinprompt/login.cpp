#include "login.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "exitingthread.h"
#include "latestexithandler.h"
#include "lcdtipsdialog.h"
#include "logindialog.h"
#include "platformcheck.h"

namespace {

// The application object of the last showDlg; cleared by initApp and cleanApp. Only ever
// compared with null: after a user closed the tip it still holds the address of an object
// that showDlg has since destroyed.
std::atomic<QApplication *> shareApp{nullptr};

// One showDlg call, from its start until it returns: waiting for its turn, building its
// application object, or showing the tip. cleanApp ends every one of them that initApp has not
// forgotten, so an early cleanApp (the user confirmed on the token at once, or the operation
// ended quickly) is never lost.
struct TipCall
{
    bool ended = false; // a cleanApp came: show nothing, or take the tip down
    bool recorded = false; // the tip's application object is in shareApp
    bool forgotten = false; // initApp came after the record: cleanApp no longer reaches it
    QApplication *loopApp = nullptr; // whose event loop a cleanApp ends, while it lives
};

// Guards the pending calls and their fields; showDlg clears loopApp under it before the
// application object goes, so cleanApp never reaches a destroyed object. The list is never
// destroyed: a showDlg may still return while exit() runs the destructors of statics.
std::mutex tipMutex;
std::vector<TipCall *> &tipCalls = *new std::vector<TipCall *>;

// Keeps a showDlg call known to cleanApp and initApp for its whole length.
class PendingTip
{
public:
    PendingTip() = default;
    // False when a tip is recorded: showDlg then shows nothing.
    bool enlist()
    {
        std::lock_guard<std::mutex> lock(tipMutex);
        if (shareApp.load())
            return false;
        tipCalls.push_back(&call);
        enlisted = true;
        return true;
    }
    ~PendingTip()
    {
        if (!enlisted)
            return;
        std::lock_guard<std::mutex> lock(tipMutex);
        tipCalls.erase(std::find(tipCalls.begin(), tipCalls.end(), &call));
    }
    PendingTip(const PendingTip &) = delete;
    PendingTip &operator=(const PendingTip &) = delete;

    TipCall call;

private:
    bool enlisted = false;
};

// Records the tip and lets cleanApp end its event loop for as long as the application object
// lives, unless a cleanApp has already ended the call.
class TipLoop
{
public:
    TipLoop(TipCall &call, QApplication *app) : call(call)
    {
        std::lock_guard<std::mutex> lock(tipMutex);
        if (call.ended)
            return;
        call.recorded = true;
        call.loopApp = app;
        shareApp.store(app);
    }
    ~TipLoop()
    {
        std::lock_guard<std::mutex> lock(tipMutex);
        call.loopApp = nullptr;
    }
    TipLoop(const TipLoop &) = delete;
    TipLoop &operator=(const TipLoop &) = delete;

    bool recorded() const { return call.recorded; }

private:
    TipCall &call;
};

// Set for good when the first prompt is asked for; a child forked from then on is a process
// without prompts (see PromptThread).
std::atomic<bool> promptsAskedFor{false};
std::atomic<bool> childWithoutPrompts{false};

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
//
// The end of the process. exit() runs the exiting thread's own destructors (those of its
// thread_local data), then the exit handlers, newest first; among those are the destructors
// of the toolkit's statics, many of them registered while a prompt builds or shows its window,
// and more whenever the window meets something new (a first paint, the pointer, a key). A
// prompt that still runs then would use what they destroy (a crash) or see its objects
// destroyed from another thread (the toolkit's warnings). So the prompt must be over before
// the first of them runs:
// - Every thread that calls into the library (or loads it) gets a watch, a destructor of the
//   thread's own. When that thread calls exit(), the watch runs before any exit handler: it
//   stops new prompts, ends the running prompt's event loop and waits (at most
//   promptEndLimit) until the prompt has destroyed its window and application object. The exit
//   then goes on as usual. (When the thread merely ends, the watch does nothing of this.)
// - An exit from a thread that never called the library has no watch. There the exit handler
//   endingProcess must come first: it is one registration, moved to the newest place
//   (LatestExitHandler) when the library is loaded, before each prompt and each time the
//   prompt's event loop is about to wait, that is after everything the events since the last
//   wait have registered. Finding a prompt running, it ends the process at once with the exit
//   status (streams flushed), before the toolkit goes away under the prompt. Once the window
//   is up, the loop waits between events, so that end is clean. What a prompt that is just
//   being built (or is handling an event) registers in the meantime still runs before it, so
//   there the end is not safe: such a caller watches its exiting thread by calling an export
//   (initApp) in it beforehand.
// - A prompt that a watch waited for in vain is ended the same way: the watch moves
//   endingProcess before everything else.
// After the process's end has begun, no prompt starts: GetPW returns PINPROMPT_REJECTED,
// showDlg and showTips return at once.
//
// A prompt asked for from inside exit() (an exit handler, a destructor of a static) returns at
// once too, whichever thread runs the exit: the exports look for exit() on the calling
// thread's stack.
//
// A child forked once a prompt has been asked for has no prompt thread, only a copy of the
// parent's toolkit state: it shows no prompt, and its exit() must not run what the toolkit
// registered for the parent's prompts (those handlers wait for threads the child does not
// have). The child's side of the fork does nothing that could wait, since a lock that another
// thread of the parent held at the fork stays held in the child for good (and POSIX allows
// such a child only async-signal-safe calls): the fork's preparation, in the parent, moves a
// handler that ends a child with its exit status (childEnd) to the newest place, where the
// parent's own exit passes it by. In the child, the handlers registered after the fork run
// before it, the older ones not; only what another thread registers while the process is being
// copied (the toolkit does so while a prompt is built or handles an event) comes after it.
class PromptThread
{
public:
    // Runs prompt in the prompt thread and waits until it has returned; an exception that
    // leaves it is thrown again here. One prompt at a time: a second caller waits for the first.
    // Once the process is ending no prompt runs.
    void run(const std::function<void()> &prompt)
    {
        promptsAskedFor = true;
        std::lock_guard<std::mutex> onePrompt(callMutex);
        std::unique_lock<std::mutex> lock(mutex);
        if (ending)
            return;
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

    // Moves endingProcess to the newest place, so that it comes before whatever the toolkit has
    // registered so far. False once the process's exit handlers have all run.
    static bool guardExit() { return exitGuard().move(); }

    // In a watched thread that calls exit(), before any exit handler: no prompt starts any more,
    // and the running one is taken down.
    static void endBeforeExit();

    // Makes a prompt's application object known to endBeforeExit, which ends its event loop,
    // for as long as the object lives. live() is false once the process is ending: the prompt
    // then shows nothing and returns.
    class Running
    {
    public:
        explicit Running(QCoreApplication *app)
        {
            std::lock_guard<std::mutex> lock(promptThread()->mutex);
            alive = !promptThread()->ending;
            if (alive)
                promptThread()->runningApp = app;
        }
        ~Running()
        {
            std::lock_guard<std::mutex> lock(promptThread()->mutex);
            promptThread()->runningApp = nullptr;
        }
        Running(const Running &) = delete;
        Running &operator=(const Running &) = delete;
        bool live() const { return alive; }

    private:
        bool alive = false;
    };

    static PromptThread *promptThread();

    // Around a fork: the state of the prompts does not change, and endingProcess does not move,
    // while the process is copied.
    static void holdForFork()
    {
        promptThread()->mutex.lock();
        exitGuard().holdForFork();
    }
    static void releaseAfterFork()
    {
        exitGuard().releaseAfterFork();
        promptThread()->mutex.unlock();
    }

private:
    static constexpr std::chrono::seconds promptEndLimit{5};

    static void endingProcess(int status);
    static LatestExitHandler &exitGuard()
    {
        static LatestExitHandler *const guard = new LatestExitHandler(&PromptThread::endingProcess);
        return *guard;
    }

    void serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return completed != requested; });
            const std::function<void()> &prompt = *current;
            std::exception_ptr thrown;
            if (!ending) {
                busy = true;
                lock.unlock();
                try {
                    if (guardExit())
                        prompt();
                } catch (...) {
                    thrown = std::current_exception();
                }
                lock.lock();
                busy = false;
            }
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
    bool busy = false; // a prompt is under way (it may use the toolkit)
    bool ending = false; // exit() has begun: no prompt starts any more
    QCoreApplication *runningApp = nullptr; // the running prompt's application object
};

PromptThread *PromptThread::promptThread()
{
    static PromptThread *const thread = new PromptThread;
    return thread;
}

// The watch of the threads that call into the library: a destructor of the thread's own,
// which the C library runs when the thread ends and, first of all, when the thread calls
// exit(). (The library keeps no thread_local data: its callers load it with dlopen, and the
// sanitizers' leak check cannot read such a library's thread-local blocks.)
extern "C" int __cxa_thread_atexit_impl(void (*destructor)(void *), void *object, void *dso);
extern "C" void *__dso_handle;

std::mutex watchMutex;
std::vector<pthread_t> &watchedThreads = *new std::vector<pthread_t>;

void threadEnding(void *)
{
    if (childWithoutPrompts)
        return;
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        const pthread_t self = pthread_self();
        watchedThreads.erase(std::remove_if(watchedThreads.begin(), watchedThreads.end(),
                                            [&](pthread_t t) { return pthread_equal(t, self); }),
                             watchedThreads.end());
    }
    if (callingThreadIsExiting())
        PromptThread::endBeforeExit();
}

void watchThisThread()
{
    const pthread_t self = pthread_self();
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        for (const pthread_t t : watchedThreads) {
            if (pthread_equal(t, self))
                return;
        }
    }
    // Outside the lock, which a fork's preparation takes: the registration may wait for the
    // dynamic loader. Only this thread registers itself.
    if (__cxa_thread_atexit_impl(&threadEnding, nullptr, &__dso_handle) != 0)
        return;
    std::lock_guard<std::mutex> lock(watchMutex);
    watchedThreads.push_back(self);
}

void PromptThread::endBeforeExit()
{
    PromptThread *self = promptThread();
    std::unique_lock<std::mutex> lock(self->mutex);
    self->ending = true;
    if (!self->busy)
        return;
    if (self->runningApp)
        QMetaObject::invokeMethod(self->runningApp, &QCoreApplication::quit, Qt::QueuedConnection);
    if (!self->wake.wait_for(lock, promptEndLimit, [&] { return !self->busy; })) {
        lock.unlock();
        guardExit();
    }
}

void PromptThread::endingProcess(int status)
{
    if (childWithoutPrompts)
        return;
    PromptThread *self = promptThread();
    std::unique_lock<std::mutex> lock(self->mutex);
    self->ending = true;
    if (!self->busy)
        return;
    lock.unlock();
    std::fflush(nullptr);
    _exit(status);
}

// Registered when the library is loaded, after the toolkit's libraries have registered their
// own exit handlers; the loading thread is watched too.
[[maybe_unused]] const bool exitGuarded = (watchThisThread(), PromptThread::guardExit());

// In a child without prompts: the end of its exit(), after the handlers registered since the
// fork. Nothing in any other process.
void endChild(int status)
{
    if (!childWithoutPrompts)
        return;
    std::fflush(nullptr);
    _exit(status);
}

LatestExitHandler &childEnd = *new LatestExitHandler(&endChild);

// Set by a fork's preparation, while the library's locks are held until the fork's end: the
// process being copied has asked for a prompt.
bool forkingAfterPrompts = false;

// The fork handlers. The library's locks are taken before a fork, so that the child finds none
// of them held by a thread it does not have (its only thread is the forking one, which
// releases them). All the rest a child needs is prepared here, in the parent.
void beforeFork()
{
    watchMutex.lock();
    tipMutex.lock();
    PromptThread::holdForFork();
    forkingAfterPrompts = promptsAskedFor;
    if (forkingAfterPrompts)
        childEnd.move();
}

void afterForkInParent()
{
    PromptThread::releaseAfterFork();
    tipMutex.unlock();
    watchMutex.unlock();
}

// Only async-signal-safe steps: releasing locks this thread holds, and a lock-free store.
void afterForkInChild()
{
    afterForkInParent();
    if (forkingAfterPrompts)
        childWithoutPrompts = true;
}

[[maybe_unused]] const bool forkWatched = pthread_atfork(&beforeFork, &afterForkInParent, &afterForkInChild) == 0;

// Every export calls it first, prompt telling whether it shows one. False where the export
// does nothing: in a child without prompts, and for a prompt asked for from inside exit().
// Otherwise it watches the calling thread (not one that is exiting already).
bool enterExport(bool prompt)
{
    if (childWithoutPrompts)
        return false;
    if (callingThreadIsExiting())
        return !prompt;
    watchThisThread();
    return true;
}

PromptThread *promptThread()
{
    return PromptThread::promptThread();
}

// In the prompt thread: builds the prompt's application object, when a platform can show it
// and the process is not ending, and hands it to show. Whenever the prompt's event loop is
// about to wait, endingProcess moves before what the events since the last wait registered.
void withApplication(const std::function<void(QApplication &)> &show)
{
    if (!platformCanStart())
        return;
    int argc = 0;
    QApplication app(argc, nullptr);
    PromptThread::Running running(&app);
    if (!running.live())
        return;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, &app,
                     [] { PromptThread::guardExit(); });
    show(app);
}

} // namespace

Login::Login()
{
}

extern "C" void initApp(void)
{
    if (!enterExport(false))
        return;
    std::lock_guard<std::mutex> lock(tipMutex);
    shareApp.store(nullptr);
    for (TipCall *call : tipCalls) {
        if (call->recorded)
            call->forgotten = true;
    }
}

extern "C" void cleanApp(void)
{
    if (!enterExport(false))
        return;
    std::lock_guard<std::mutex> lock(tipMutex);
    shareApp.store(nullptr);
    for (TipCall *call : tipCalls) {
        if (call->forgotten)
            continue;
        call->ended = true;
        // A loop that has not started yet runs the posted quit as soon as it starts.
        if (call->loopApp)
            QMetaObject::invokeMethod(call->loopApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

extern "C" int GetPW(char *pw)
{
    if (!enterExport(true) || !pw)
        return PINPROMPT_REJECTED;
    int result = PINPROMPT_REJECTED;
    promptThread()->run([&] {
        withApplication([&](QApplication &) {
            LoginDialog dialog(nullptr);
            if (dialog.exec() != QDialog::Accepted)
                return;
            dialog.GetPW(pw);
            result = 0;
        });
    });
    return result;
}

extern "C" void showDlg(void)
{
    if (!enterExport(true))
        return;
    PendingTip tip;
    if (!tip.enlist())
        return;
    TipCall &call = tip.call;
    promptThread()->run([&] {
        {
            std::lock_guard<std::mutex> lock(tipMutex);
            if (call.ended)
                return; // a cleanApp came while this call waited for its turn
        }
        withApplication([&](QApplication &app) {
            TipLoop loop(call, &app);
            if (!loop.recorded())
                return; // a cleanApp came while the application object was built
            LCDTipsDialog dialog(nullptr);
            dialog.show();
            app.exec();
            // The dialog goes first, then the loop's registration, then the application object.
        });
    });
}

void showTips()
{
    if (!enterExport(true))
        return;
    promptThread()->run([] {
        withApplication([](QApplication &app) {
            LCDTipsDialog dialog(nullptr);
            dialog.startTimer(60000);
            dialog.show();
            // Stays up until the timer or the user closes it: closing the last window ends the
            // loop.
            app.exec();
        });
    });
}
