// A minimal outside caller of libpinprompt.so, as a token library is one: no toolkit of its
// own, the library loaded with dlopen, prompts from a worker thread. Each run is one process,
// for what ends or outlives the process:
//   outside_caller exit getpw|showdlg|showtips MS [cleanapp]
//       a worker starts the prompt; MS ms later the main thread calls exit(9) (after cleanApp
//       with "cleanapp", so that the tip is being taken down as the process ends)
//   outside_caller no-platform
//       every prompt in turn where none can be shown; prints "caller alive" at the end
#include <dlfcn.h>

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

int exitDuringPrompt(const std::string &prompt, int ms, bool cleanFirst)
{
    auto cleanApp = resolve<VoidFn>("cleanApp");
    VoidFn call = nullptr;
    if (prompt == "getpw") {
        static char buffer[PINPROMPT_PASSWORD_CAPACITY + 1];
        static GetPwFn getPw = resolve<GetPwFn>("GetPW");
        call = [] { getPw(buffer); };
    } else if (prompt == "showdlg") {
        call = resolve<VoidFn>("showDlg");
    } else if (prompt == "showtips") {
        call = resolve<VoidFn>("_Z8showTipsv");
    } else {
        return 2;
    }
    std::thread(call).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    if (cleanFirst)
        cleanApp();
    std::exit(9);
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
    const char *path = std::getenv("PINPROMPT_LIB");
    library = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!library) {
        std::fprintf(stderr, "outside_caller: cannot load PINPROMPT_LIB: %s\n", path ? dlerror() : "not set");
        return 2;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "exit" && argc >= 4)
        return exitDuringPrompt(argv[2], std::atoi(argv[3]), argc > 4 && std::string(argv[4]) == "cleanapp");
    if (mode == "no-platform" && argc == 2)
        return withoutPlatform();
    std::fprintf(stderr, "usage: outside_caller exit getpw|showdlg|showtips MS [cleanapp] | no-platform\n");
    return 2;
}
