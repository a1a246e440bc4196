// A minimal outside caller of libpinprompt.so, as a token library is one: no toolkit of its
// own, the library loaded with dlopen, prompts from a worker thread. Each run is one process,
// for what ends or outlives the process:
//   outside_caller exit getpw|showdlg|showtips MS [cleanapp]
//       a worker starts the prompt; MS ms after its call the main thread calls exit(9) (after
//       cleanApp with "cleanapp", so that the tip is being taken down as the process ends); an
//       exit handler of the caller's prints "caller handler"
//   outside_caller fork getpw|showdlg|showtips exec|exit COUNT MS|shown
//       a worker starts the prompt; MS ms after the call (or, with "shown", when the process
//       gets SIGUSR1: once the prompt's window is up) the main thread forks COUNT children one
//       after another. An "exec" child executes true at once; an "exit" child registers an
//       exit handler (it writes a byte into a pipe that the parent reads) and calls exit(3).
//       The parent reaps them, waiting at most 5 s after the last fork, and prints
//       "forked=N ended=N status_ok=N handlers=N stuck=N slowest_ms=T": the children that
//       ended, that ended with their status (0 for exec, 3 for exit), whose handler ran, that
//       were still running then (they are killed), and the longest a child took from its
//       fork to its end as the parent saw it; then "prompt still up" if its prompt is, and
//       calls exit(9)
//   outside_caller prompt-at-exit getpw|showdlg|showtips handler|static
//       a worker loads the library, asks for a password (the user answers it) and ends; then
//       the main thread, which never called the library, registers an exit handler (or makes
//       a static whose destructor) that asks for the prompt, and returns 5 from main. The
//       handler prints "GetPW gave R after T ms, buffer untouched|written" or "showDlg (or
//       showTips) returned after T ms"
//   outside_caller thread-ends getpw|showdlg|showtips
//       a worker starts the prompt; 300 ms later another thread calls initApp and ends (a
//       thread's end is no exit); the main thread prints "prompt still up" if the prompt is,
//       and calls exit(9)
//   outside_caller exit-unwatched getpw|showdlg|showtips
//       a worker loads the library and starts the prompt; the main thread, which never calls
//       the library, calls exit(7) when the process gets SIGUSR1
//   outside_caller no-platform
//       every prompt in turn where none can be shown; prints "caller alive" at the end
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "login.h"

namespace {

using VoidFn = void (*)();
using GetPwFn = int (*)(char *);

void *library = nullptr;

void *loadLibrary()
{
    const char *path = std::getenv("PINPROMPT_LIB");
    library = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!library) {
        std::fprintf(stderr, "outside_caller: cannot load PINPROMPT_LIB: %s\n", path ? dlerror() : "not set");
        std::exit(2);
    }
    return library;
}

template <typename Fn>
Fn resolve(const char *name)
{
    auto fn = reinterpret_cast<Fn>(dlsym(library, name));
    if (!fn) {
        std::fprintf(stderr, "outside_caller: %s not found\n", name);
        std::exit(2);
    }
    return fn;
}

// The prompt a worker runs; null for an unknown name.
VoidFn promptCall(const std::string &prompt)
{
    if (prompt == "getpw") {
        static char buffer[PINPROMPT_PASSWORD_CAPACITY + 1];
        static GetPwFn getPw = resolve<GetPwFn>("GetPW");
        return [] { getPw(buffer); };
    }
    if (prompt == "showdlg")
        return resolve<VoidFn>("showDlg");
    if (prompt == "showtips")
        return resolve<VoidFn>("_Z8showTipsv");
    return nullptr;
}

using Clock = std::chrono::steady_clock;

std::atomic<bool> promptReturned{false};
std::atomic<bool> promptCalled{false};
Clock::time_point promptCalledAt;

// A worker runs the prompt and notes when it calls it and when it has returned; false for an
// unknown prompt.
bool startPrompt(const std::string &prompt)
{
    static VoidFn call = promptCall(prompt);
    if (!call)
        return false;
    std::thread([] {
        promptCalledAt = Clock::now();
        promptCalled = true;
        call();
        promptReturned = true;
    }).detach();
    return true;
}

// Waits until ms have passed since the worker called its prompt.
void sleepFromCall(int ms)
{
    while (!promptCalled)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_until(promptCalledAt + std::chrono::milliseconds(ms));
}

// Blocks SIGUSR1 in this thread and in every thread it starts from now on, the library's own
// included, so that waitForUsr1 takes it.
void blockUsr1(sigset_t &usr1)
{
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
}

void waitForUsr1(const sigset_t &usr1)
{
    int signal = 0;
    sigwait(&usr1, &signal);
}

int exitDuringPrompt(const std::string &prompt, int ms, bool cleanFirst)
{
    auto cleanApp = resolve<VoidFn>("cleanApp");
    std::atexit([] { std::printf("caller handler\n"); });
    if (!startPrompt(prompt))
        return 2;
    sleepFromCall(ms);
    if (cleanFirst)
        cleanApp();
    std::exit(9);
}

[[noreturn]] void exitTellingWhetherPromptIsUp()
{
    if (!promptReturned)
        std::printf("prompt still up\n");
    std::fflush(stdout);
    std::exit(9);
}

// The write end of the pipe into which an exiting child's handler writes its byte.
int handlerPipe = -1;

// The children of a fork storm, from their fork until the parent has reaped them.
class Children
{
public:
    explicit Children(int expectedStatus) : expectedStatus(expectedStatus) {}

    void forked(pid_t child)
    {
        ++count;
        running[child] = Clock::now();
    }

    // Reaps every child that has ended; with a deadline, waits until all have or it passes.
    void reap(Clock::time_point deadline = Clock::time_point())
    {
        for (;;) {
            int status = 0;
            const pid_t child = waitpid(-1, &status, WNOHANG);
            if (child > 0) {
                ended(child, status);
                continue;
            }
            if (running.empty() || Clock::now() >= deadline)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Kills and reaps the children still running; returns how many there were.
    int killStuck()
    {
        const int stuck = static_cast<int>(running.size());
        for (const auto &child : running) {
            kill(child.first, SIGKILL);
            waitpid(child.first, nullptr, 0);
        }
        running.clear();
        return stuck;
    }

    int count = 0;
    int endedCount = 0;
    int statusOk = 0;
    long long slowestMs = 0;

private:
    void ended(pid_t child, int status)
    {
        const auto at = running.find(child);
        if (at == running.end())
            return;
        ++endedCount;
        if (WIFEXITED(status) && WEXITSTATUS(status) == expectedStatus)
            ++statusOk;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - at->second);
        slowestMs = std::max(slowestMs, static_cast<long long>(took.count()));
        running.erase(at);
    }

    const int expectedStatus;
    std::map<pid_t, Clock::time_point> running;
};

int forkDuringPrompt(const std::string &prompt, const std::string &kind, int count, const std::string &when)
{
    const bool exec = kind == "exec";
    if ((!exec && kind != "exit") || count < 1)
        return 2;
    sigset_t usr1;
    blockUsr1(usr1);
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return 2;
    handlerPipe = pipeEnds[1];
    if (!startPrompt(prompt))
        return 2;
    if (when == "shown")
        waitForUsr1(usr1);
    else
        sleepFromCall(std::atoi(when.c_str()));

    Children children(exec ? 0 : 3);
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            if (exec) {
                execl("/bin/true", "true", static_cast<char *>(nullptr));
                _exit(127);
            }
            std::atexit([] {
                const char byte = 'h';
                (void)!write(handlerPipe, &byte, 1);
            });
            std::exit(3);
        }
        if (child > 0)
            children.forked(child);
        children.reap();
    }
    children.reap(Clock::now() + std::chrono::seconds(5));
    const int stuck = children.killStuck();
    close(pipeEnds[1]);
    int handlers = 0;
    char bytes[256];
    for (ssize_t got; (got = read(pipeEnds[0], bytes, sizeof bytes)) > 0;)
        handlers += static_cast<int>(got);
    std::printf("forked=%d ended=%d status_ok=%d handlers=%d stuck=%d slowest_ms=%lld\n", children.count,
                children.endedCount, children.statusOk, handlers, stuck, children.slowestMs);
    exitTellingWhetherPromptIsUp();
}

// What the exit handler or the static's destructor of promptAtExit asks for: a password when
// tipAtExit is null, else that tip, named tipAtExitName.
GetPwFn getPwAtExit = nullptr;
VoidFn tipAtExit = nullptr;
const char *tipAtExitName = "";

void promptDuringExit()
{
    const auto start = Clock::now();
    char buffer[PINPROMPT_PASSWORD_CAPACITY + 1];
    std::memset(buffer, 'k', sizeof buffer);
    const int result = tipAtExit ? (tipAtExit(), 0) : getPwAtExit(buffer);
    const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (tipAtExit) {
        std::printf("%s returned after %lld ms\n", tipAtExitName, took);
        return;
    }
    const bool untouched = std::all_of(std::begin(buffer), std::end(buffer), [](char c) { return c == 'k'; });
    std::printf("GetPW gave %d after %lld ms, buffer %s\n", result, took, untouched ? "untouched" : "written");
}

struct PromptsWhenDestroyed
{
    ~PromptsWhenDestroyed() { promptDuringExit(); }
};

int promptAtExit(const std::string &prompt, const std::string &how)
{
    if (how != "handler" && how != "static")
        return 2;
    bool known = true;
    std::thread([&] {
        loadLibrary();
        getPwAtExit = resolve<GetPwFn>("GetPW");
        if (prompt != "getpw") {
            known = (tipAtExit = promptCall(prompt)) != nullptr;
            tipAtExitName = prompt == "showdlg" ? "showDlg" : "showTips";
        }
        char buffer[PINPROMPT_PASSWORD_CAPACITY + 1];
        getPwAtExit(buffer);
    }).join();
    if (!known)
        return 2;
    if (how == "handler") {
        std::atexit(promptDuringExit);
    } else {
        static PromptsWhenDestroyed prompts;
    }
    return 5;
}

int threadEndsDuringPrompt(const std::string &prompt)
{
    if (!startPrompt(prompt))
        return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread(resolve<VoidFn>("initApp")).join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    exitTellingWhetherPromptIsUp();
}

int exitFromUnwatchedThread(const std::string &prompt)
{
    sigset_t usr1;
    blockUsr1(usr1);
    std::thread([prompt] {
        loadLibrary();
        const VoidFn call = promptCall(prompt);
        if (!call)
            std::exit(2);
        call();
    }).detach();
    waitForUsr1(usr1);
    std::exit(7);
}

int withoutPlatform()
{
    char buffer[PINPROMPT_PASSWORD_CAPACITY + 1];
    std::memset(buffer, 'k', sizeof buffer);
    int failures = 0;
    const int result = resolve<GetPwFn>("GetPW")(buffer);
    if (result != PINPROMPT_REJECTED) {
        std::printf("GetPW returned %d\n", result);
        ++failures;
    }
    for (const char c : buffer) {
        if (c != 'k') {
            std::printf("GetPW wrote into the buffer\n");
            ++failures;
            break;
        }
    }
    // showDlg in a worker as a token library calls it, and cleanApp in case a tip came up.
    std::thread tip(resolve<VoidFn>("showDlg"));
    tip.join();
    resolve<VoidFn>("_Z8showTipsv")();
    resolve<VoidFn>("cleanApp")();
    std::printf("caller alive\n");
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "exit-unwatched" && argc == 3)
        return exitFromUnwatchedThread(argv[2]);
    if (mode == "prompt-at-exit" && argc == 4)
        return promptAtExit(argv[2], argv[3]);
    loadLibrary();
    if (mode == "exit" && argc >= 4)
        return exitDuringPrompt(argv[2], std::atoi(argv[3]), argc > 4 && std::string(argv[4]) == "cleanapp");
    if (mode == "fork" && argc == 6)
        return forkDuringPrompt(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
    if (mode == "thread-ends" && argc == 3)
        return threadEndsDuringPrompt(argv[2]);
    if (mode == "no-platform" && argc == 2)
        return withoutPlatform();
    std::fprintf(stderr, "usage: outside_caller exit getpw|showdlg|showtips MS [cleanapp]"
                         " | fork PROMPT exec|exit COUNT MS|shown | thread-ends PROMPT | exit-unwatched PROMPT"
                         " | prompt-at-exit PROMPT handler|static | no-platform\n");
    return 2;
}
