#ifndef PINPROMPT_GLOBAL_H
#define PINPROMPT_GLOBAL_H

/* Everything a caller may use carries PINPROMPT_EXPORT; the library is built with hidden
 * visibility, so nothing else leaves it. */
#if defined(PINPROMPT_LIBRARY)
#define PINPROMPT_EXPORT __attribute__((visibility("default")))
#else
#define PINPROMPT_EXPORT
#endif

#endif
