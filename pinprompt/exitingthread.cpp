#include "exitingthread.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <cstdint>
#include <cstdlib>

namespace {

// Where the C library's exit() lies in memory. exit() calls the function that runs the
// thread's destructors and the exit handlers, so while they run its frame is on the stack.
struct Code
{
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};

Code exitCode()
{
    Code code;
    Dl_info info;
    ElfW(Sym) *symbol = nullptr;
    void *address = reinterpret_cast<void *>(&std::exit);
    if (dladdr1(address, &info, reinterpret_cast<void **>(&symbol), RTLD_DL_SYMENT) && symbol && info.dli_saddr) {
        code.begin = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
        code.end = code.begin + symbol->st_size;
    }
    return code;
}

// Found when the library is loaded, not in a thread's last moments.
const Code exitFunction = exitCode();

} // namespace

bool callingThreadIsExiting()
{
    if (exitFunction.begin == exitFunction.end)
        return false;
    // From a thread's destructor, exit() is a few frames up (the C library's loop over the
    // destructors, the function that runs them and the exit handlers); from an exit handler or
    // a destructor of a static, as many more as the caller's own calls in between.
    void *frames[64];
    const int depth = backtrace(frames, 64);
    for (int i = 1; i < depth; ++i) {
        // A return address follows its call; the call itself lies one byte before it. exit()
        // never returns, so its call is its last instruction.
        const std::uintptr_t call = reinterpret_cast<std::uintptr_t>(frames[i]) - 1;
        if (call >= exitFunction.begin && call < exitFunction.end)
            return true;
    }
    return false;
}
