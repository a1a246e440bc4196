#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

// One exit handler kept at the newest place among the process's exit handlers. exit() runs
// the handlers newest first, so after a move the handler runs before everything registered up
// to that moment. Each move withdraws the previous registration before it registers anew: when
// nothing was registered in between, the new registration takes the old one's place, so moving
// costs no memory however often it is done.
//
// Objects of this class live for the whole process (statics that are never destroyed, or
// objects on the heap that are never freed): exit() may call the handler at any time.
class LatestExitHandler
{
public:
    // The handler gets the exit status.
    using Handler = void (*)(int status);

    explicit LatestExitHandler(Handler handler) : handler(handler) {}
    LatestExitHandler(const LatestExitHandler &) = delete;
    LatestExitHandler &operator=(const LatestExitHandler &) = delete;

    // Moves the handler to the newest place. False once the process's exit handlers have all
    // run.
    bool move();

    // Around a fork, from the fork's preparation to its end in each process: no move is under
    // way while the process is copied.
    void holdForFork() { mutex.lock(); }
    void releaseAfterFork() { mutex.unlock(); }

private:
    static void registered(void *self, int status);

    const Handler handler;
    std::mutex mutex;
    // The thread that withdraws the registration: __cxa_finalize calls the registered function
    // in that thread, where it must do nothing. (An exit() in another thread at that moment
    // runs it.)
    std::atomic<pthread_t> withdrawingThread{};
    // The handle of the one registration; its address is all that counts.
    char handle = 0;
};
