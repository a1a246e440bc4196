// A minimal outside caller of libpinprompt.so, as a token library is one: no toolkit of its
// own, the library loaded with dlopen, prompts from a worker thread. Each run is one process,
// for what ends or outlives the process:
//   outside_caller exit getpw|showdlg|showtips MS [cleanapp]
//       a worker starts the prompt; MS ms later the main thread calls exit(9) (after cleanApp
//       with "cleanapp", so that the tip is being taken down as the process ends); an exit
//       handler of the caller's prints "caller handler"
//   outside_caller fork getpw|showdlg|showtips MS
//       a worker starts the prompt; MS ms later the main thread forks. The child registers an
//       exit handler (it prints "child handler") and calls exit(3); the parent prints
//       "child ended with STATUS after T ms", then "prompt still up" if its prompt is, and
//       calls exit(9)
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
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

std::atomic<bool> promptReturned{false};

// A worker runs the prompt and notes when it has returned; false for an unknown prompt.
bool startPrompt(const std::string &prompt)
{
    static VoidFn call = promptCall(prompt);
    if (!call)
        return false;
    std::thread([] {
        call();
        promptReturned = true;
    }).detach();
    return true;
}

int exitDuringPrompt(const std::string &prompt, int ms, bool cleanFirst)
{
    auto cleanApp = resolve<VoidFn>("cleanApp");
    std::atexit([] { std::printf("caller handler\n"); });
    if (!startPrompt(prompt))
        return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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

int forkDuringPrompt(const std::string &prompt, int ms)
{
    if (!startPrompt(prompt))
        return 2;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::atexit([] { std::printf("child handler\n"); });
        std::exit(3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("child ended with %d after %lld ms\n", WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    exitTellingWhetherPromptIsUp();
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
    // Every thread, the library's own included, inherits the blocked signal; main takes it.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    std::thread([prompt] {
        loadLibrary();
        const VoidFn call = promptCall(prompt);
        if (!call)
            std::exit(2);
        call();
    }).detach();
    int signal = 0;
    sigwait(&usr1, &signal);
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
    loadLibrary();
    if (mode == "exit" && argc >= 4)
        return exitDuringPrompt(argv[2], std::atoi(argv[3]), argc > 4 && std::string(argv[4]) == "cleanapp");
    if (mode == "fork" && argc == 4)
        return forkDuringPrompt(argv[2], std::atoi(argv[3]));
    if (mode == "thread-ends" && argc == 3)
        return threadEndsDuringPrompt(argv[2]);
    if (mode == "no-platform" && argc == 2)
        return withoutPlatform();
    std::fprintf(stderr, "usage: outside_caller exit getpw|showdlg|showtips MS [cleanapp] | fork PROMPT MS"
                         " | thread-ends PROMPT | exit-unwatched PROMPT | no-platform\n");
    return 2;
}
