// A token library with nothing but a scripted SKF_WaitForDevEvent, for the
// device-event thread's tests. The test binds the same file and posts the next
// outcome of the wait with fakewait_post(); the wait blocks until one is posted.
// Built without FAKEWAIT_HAS_WAIT it lacks the wait function altogether.
#include <pthread.h>
#include <string.h>

#include "skfapi.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t posted = PTHREAD_COND_INITIALIZER;
static int pending;
static int failing;
static unsigned char next_name[600];
static size_t next_name_size;
static ULONG next_len;
static ULONG next_event;
static ULONG next_result;
static unsigned long calls;

// The next wait fills `size` bytes of `name` (at most 512 reach the caller's
// buffer), reports the length `len` and the event, and returns `result`.
SKF_EXPORT void fakewait_post(const void *name, size_t size, ULONG len, ULONG event, ULONG result)
{
    pthread_mutex_lock(&lock);
    if (size > sizeof(next_name))
        size = sizeof(next_name);
    memcpy(next_name, name, size);
    next_name_size = size;
    next_len = len;
    next_event = event;
    next_result = result;
    pending = 1;
    pthread_cond_broadcast(&posted);
    pthread_mutex_unlock(&lock);
}

// From now on every wait fails at once with `result` (0 ends that).
SKF_EXPORT void fakewait_fail_always(ULONG result)
{
    pthread_mutex_lock(&lock);
    failing = result != 0;
    next_result = result;
    pthread_cond_broadcast(&posted);
    pthread_mutex_unlock(&lock);
}

// Forgets any outcome that no wait has taken yet.
SKF_EXPORT void fakewait_reset(void)
{
    pthread_mutex_lock(&lock);
    pending = 0;
    failing = 0;
    pthread_mutex_unlock(&lock);
}

SKF_EXPORT unsigned long fakewait_calls(void)
{
    pthread_mutex_lock(&lock);
    unsigned long n = calls;
    pthread_mutex_unlock(&lock);
    return n;
}

#ifdef FAKEWAIT_HAS_WAIT
SKF_EXPORT ULONG SKF_WaitForDevEvent(LPSTR name, ULONG *len, ULONG *event)
{
    ULONG result;
    pthread_mutex_lock(&lock);
    ++calls;
    while (!pending && !failing)
        pthread_cond_wait(&posted, &lock);
    if (failing) {
        result = next_result;
    } else {
        size_t n = next_name_size < 512 ? next_name_size : 512;
        memcpy(name, next_name, n);
        *len = next_len;
        *event = next_event;
        result = next_result;
        pending = 0;
    }
    pthread_mutex_unlock(&lock);
    return result;
}
SKF_CHECK_TYPE(SKF_WaitForDevEvent);
#endif
