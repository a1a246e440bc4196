#ifndef LOGIN_H
#define LOGIN_H

/*
 * pinprompt: PIN prompts for a program that has no user interface of its own.
 *
 * GetPW, showTips and showDlg may be called from any thread, a different one each time; the
 * calling thread blocks until its prompt ends. Every prompt runs in one thread that the library
 * starts at the first prompt and keeps for the life of the process: there it builds its own Qt
 * application object and destroys it before the call returns. That thread must be the first
 * in the process to use Qt, so the caller itself uses no Qt. One prompt runs at a time: a
 * prompt called while another runs waits for it, so none of GetPW, showTips or showDlg should
 * be called while the tip of a showDlg is up. cleanApp and initApp may be called from any
 * thread, typically while showDlg blocks in another. The library stays loaded once loaded
 * (dlclose does not unload it).
 */

#include "pinprompt_global.h"

/* The longest password GetPW hands back, in bytes. The caller's buffer must hold at least
 * PINPROMPT_PASSWORD_CAPACITY + 1 bytes: the password and its terminating zero byte. The
 * password field accepts no more characters than this. */
#define PINPROMPT_PASSWORD_CAPACITY 63

/* GetPW's result when the dialog was not accepted (Cancel, Escape, window closed). */
#define PINPROMPT_REJECTED 100

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets the tip of the last showDlg, so that the next showDlg shows it again. Touches no
 * window and no event loop. */
PINPROMPT_EXPORT void initApp(void);

/* Takes down the tip that showDlg shows: its event loop ends (also when the loop has not started
 * yet) and showDlg returns. No effect when no tip is recorded. */
PINPROMPT_EXPORT void cleanApp(void);

/* Asks for a password. On Ok, writes the typed text in Latin-1 and one zero byte into pw and
 * returns 0; otherwise leaves pw untouched and returns PINPROMPT_REJECTED. A null pw shows no
 * dialog and returns PINPROMPT_REJECTED. The field takes only characters that Latin-1 holds
 * (no zero character), one byte each; others are not accepted as typed or pasted. */
PINPROMPT_EXPORT int GetPW(char *pw);

/* Shows the tip asking the user to confirm on the token and blocks until cleanApp (from another
 * thread) or the user ends it. While a tip is recorded (a user closed it and neither cleanApp
 * nor initApp has come since) it returns at once and shows nothing. */
PINPROMPT_EXPORT void showDlg(void);

#ifdef __cplusplus
}

/* Shows the tip until the user closes it or 60 seconds have passed. */
PINPROMPT_EXPORT void showTips();

class PINPROMPT_EXPORT Login
{
public:
    Login();
};
#endif

#endif
