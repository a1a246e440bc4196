#pragma once

// True when the calling thread is inside exit() (a return from main included). Meant for the
// destructors of a thread's own (__cxa_thread_atexit_impl), which the C library runs both when
// the thread ends and, before every exit handler, when the thread calls exit(). False when
// the calling thread's stack cannot be read.
bool callingThreadIsExiting();
