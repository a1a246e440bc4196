#ifndef PROMPTDRIVER_H
#define PROMPTDRIVER_H

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "dialogending.h"

class QCoreApplication;
class QWidget;

// Plays the person at the screen while an export of the library blocks the test's main thread:
// a second thread waits for the application object that the export makes, then runs steps
// inside that object's thread (finding the dialog among the top-level widgets, typing,
// clicking). Failures are collected and read by the test once the export has returned.
class PromptDriver
{
public:
    // Watches every application object that gets built from now on. Call once per process.
    static void watchApplications();
    // How many application objects were built since watchApplications().
    static int applicationsBuilt();

    // Runs export in this thread and script in a second one, then joins the second.
    // If the script failed, all windows are closed so that the export can return.
    void run(const std::function<void()> &exportCall, const std::function<void(PromptDriver &)> &script);

    // Waits until a visible top-level widget of className exists; null on timeout, or
    // as soon as the export has returned.
    QWidget *waitForWindow(const char *className, int timeoutMs = 5000);
    // Runs step in the application's thread and waits until it has run.
    void inGui(const std::function<void()> &step);
    // True while the window is still shown.
    bool stillVisible(QWidget *window);
    // True when the export returns within timeoutMs.
    bool waitForReturn(int timeoutMs = 5000);
    // In the thread that calls an export, right before the call: the moment that sleepFromCall
    // counts from.
    void calling();
    // Waits until the export has been called (see calling) and its thread waits inside the
    // library, so that the call has begun, then until ms have passed since the call. Returns
    // at once when the export has returned.
    void sleepFromCall(int ms);
    // Takes a screenshot of the display into $PINPROMPT_SHOTS/<name>.png when that is set.
    void screenshot(const QString &name);

    // Ends the dialog in the application's thread (see endDialog).
    void end(QWidget *window, Ending how);

    // The user's own input. On a real X display (the xcb platform) it goes through the X
    // server as a person's does (xdotool moves the pointer, clicks, types), so a window that
    // paints nothing or takes no input shows; elsewhere it is sent to the widgets as test
    // events. Text is ASCII.
    static bool onRealDisplay();
    void userClicks(QWidget *widget);
    void userTypes(QWidget *field, const QString &ascii);
    // A key at widget (on a real display focused by a click first): Escape, Enter or the
    // keypad's Enter, as the ending says.
    void userPressesKey(QWidget *widget, Ending key);
    // On a real display: fails unless the window shows on the screen with pixels other than
    // black. Nothing elsewhere.
    void checkPainted(QWidget *window, const QString &what);

    void check(bool condition, const QString &failure);
    QStringList failures() const;

    static void sleepMs(int ms);
    // Types text into widget key by key, characters beyond ASCII included. GUI thread only.
    static void typeText(QWidget *widget, const QString &text);

private:
    std::atomic<bool> returned{false};
    std::atomic<bool> called{false};
    std::atomic<int> callingThread{0};
    std::chrono::steady_clock::time_point calledAt;
    mutable std::mutex failureMutex;
    QStringList failureList;
};

#endif
