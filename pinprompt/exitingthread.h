#pragma once

// True when the calling thread is inside exit() (a return from main included): in one of the
// thread's own destructors (__cxa_thread_atexit_impl), which the C library runs both when the
// thread ends and, before every exit handler, when the thread calls exit(); in an exit handler;
// in a destructor of a static. False when the calling thread's stack cannot be read, or when
// exit() lies more than 63 calls up.
bool callingThreadIsExiting();
