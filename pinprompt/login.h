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
 *
 * Where no platform can show a prompt (no display to connect to, a screen the X server
 * lacks, no framebuffer), no prompt is tried: GetPW returns PINPROMPT_REJECTED, showDlg and
 * showTips return at once, and one line goes to standard error. A process that calls exit() while a
 * prompt runs ends with its own exit code: from a thread that has loaded the library or called
 * one of these functions, the prompt is taken down first and the exit goes on as usual. From
 * any other thread the library ends the process at once when its exit handler runs (the
 * caller's exit handlers do not run), which is clean once the prompt's window is shown but not
 * while a prompt is starting: call initApp once in a thread that may call exit. Prompts asked
 * for once exit() has begun return at once, and so do prompts asked for from inside exit() (an
 * exit handler, a destructor of a static) in any thread. End such a process through exit() or
 * a return from main, not pthread_exit in main: the prompt thread stays for the life of the
 * process.
 * A child forked after the first prompt was asked for shows no prompts (they return as above,
 * cleanApp and initApp do nothing), and its exit() runs only the exit handlers registered
 * since the fork. The library's threads make the host a threaded process, whose child POSIX
 * allows only async-signal-safe calls before exec: a child that calls exec or _exit at once is
 * safe at any moment. One that calls exit() or atexit() is safe when it was forked before the
 * first prompt or while a prompt's window waits for the user; at other moments it can hang in
 * the C library or run an exit handler of the toolkit's.
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
 * window and no event loop: a tip that is up stays until the user closes it, out of cleanApp's
 * reach. */
PINPROMPT_EXPORT void initApp(void);

/* Ends every showDlg that has been called and has not returned, and forgets the tip: a tip that
 * is up goes down, and a showDlg whose tip is still being built or that waits for its turn
 * returns without showing it. With no showDlg pending it only forgets the tip. */
PINPROMPT_EXPORT void cleanApp(void);

/* Asks for a password. On Ok (or Enter in the field), writes the typed text in Latin-1 and one
 * zero byte into pw and returns 0; otherwise leaves pw untouched and returns PINPROMPT_REJECTED.
 * A null pw shows no dialog and returns PINPROMPT_REJECTED. The field takes only characters that
 * Latin-1 holds (no zero character), one byte each; others are not accepted as typed or pasted. */
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
