#include "latestexithandler.h"

// The C++ runtime's registration of destructors: a registration carries a handle (normally the
// handle of the shared object whose destructor it is), and __cxa_finalize of a handle runs and
// withdraws exactly the registrations that carry it. The C library calls a registered function
// with the exit status as a second argument.
extern "C" int __cxa_atexit(void (*function)(void *), void *argument, void *handle);
extern "C" void __cxa_finalize(void *handle);

void LatestExitHandler::registered(void *self, int status)
{
    auto *latest = static_cast<LatestExitHandler *>(self);
    if (pthread_equal(latest->withdrawingThread.load(), pthread_self()))
        return;
    latest->handler(status);
}

bool LatestExitHandler::move()
{
    std::lock_guard<std::mutex> lock(mutex);
    withdrawingThread = pthread_self();
    __cxa_finalize(&handle);
    withdrawingThread = pthread_t{};
    // Through void (*)(void), the type that casts between function types are made with.
    auto function = reinterpret_cast<void (*)(void *)>(reinterpret_cast<void (*)()>(&registered));
    return __cxa_atexit(function, this, &handle) == 0;
}
