#include "latestexithandler.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

// The C++ runtime's registration of destructors: a registration carries a handle (normally the
// handle of the shared object whose destructor it is), and __cxa_finalize of a handle runs and
// withdraws exactly the registrations that carry it. The C library calls a registered function
// with the exit status as a second argument.
extern "C" int __cxa_atexit(void (*function)(void *), void *argument, void *handle);
extern "C" void __cxa_finalize(void *handle);

namespace {

// The handle of the one registration; its address is all that counts.
char registrationHandle;

std::mutex moveMutex;
std::atomic<LatestExitHandler::Handler> movedHandler{nullptr};
// The thread that withdraws the registration: __cxa_finalize calls the registered function in
// that thread, where it must do nothing. (An exit() in another thread at that moment runs it.)
std::atomic<pthread_t> withdrawingThread{};

// A fork copies the process while no thread moves the handler.
[[maybe_unused]] const bool forkWatched =
    pthread_atfork([] { moveMutex.lock(); }, [] { moveMutex.unlock(); }, [] { moveMutex.unlock(); }) == 0;

void registered(void *, int status)
{
    if (pthread_equal(withdrawingThread.load(), pthread_self()))
        return;
    movedHandler.load()(status);
}

} // namespace

bool LatestExitHandler::move(Handler handler)
{
    std::lock_guard<std::mutex> lock(moveMutex);
    movedHandler = handler;
    withdrawingThread = pthread_self();
    __cxa_finalize(&registrationHandle);
    withdrawingThread = pthread_t{};
    // Through void (*)(void), the type that casts between function types are made with.
    auto function = reinterpret_cast<void (*)(void *)>(reinterpret_cast<void (*)()>(&registered));
    return __cxa_atexit(function, nullptr, &registrationHandle) == 0;
}
