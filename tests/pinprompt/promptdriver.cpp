#include "promptdriver.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <chrono>
#include <cstdlib>

#include <unistd.h>

namespace {

std::atomic<QCoreApplication *> currentApp{nullptr};
std::atomic<int> builtCount{0};

// Called from every QCoreApplication constructor, in the thread that builds the object.
void applicationBuilt()
{
    currentApp.store(QCoreApplication::instance());
    ++builtCount;
}

} // namespace

void PromptDriver::watchApplications()
{
    qAddPreRoutine(applicationBuilt);
}

int PromptDriver::applicationsBuilt()
{
    return builtCount.load();
}

void PromptDriver::sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void PromptDriver::typeText(QWidget *widget, const QString &text)
{
    // One key per character, as a keyboard sends it: a character beyond the 16-bit range
    // comes as one event carrying both halves of its UTF-16 form.
    for (const uint c : text.toUcs4()) {
        if (c < 0x80)
            QTest::keyClick(widget, char(c));
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString::fromUcs4(&c, 1), Qt::NoModifier);
    }
}

void PromptDriver::run(const std::function<void()> &exportCall, const std::function<void(PromptDriver &)> &script)
{
    returned.store(false);
    called.store(false);
    currentApp.store(nullptr);
    std::thread second([this, &script] {
        script(*this);
        if (failures().isEmpty())
            return;
        // Let the export return so that the test can report instead of hanging.
        while (!returned.load() && currentApp.load()) {
            inGui([] {
                for (QWidget *w : QApplication::topLevelWidgets())
                    w->close();
            });
            sleepMs(50);
        }
    });
    exportCall();
    returned.store(true);
    // The application object is gone once the export has returned.
    currentApp.store(nullptr);
    second.join();
}

QWidget *PromptDriver::waitForWindow(const char *className, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline && !returned.load()) {
        QWidget *found = nullptr;
        if (currentApp.load()) {
            inGui([&] {
                for (QWidget *w : QApplication::topLevelWidgets()) {
                    if (w->inherits(className) && w->isVisible())
                        found = w;
                }
            });
        }
        if (found)
            return found;
        sleepMs(10);
    }
    check(false, QString("no visible %1 appeared").arg(className));
    return nullptr;
}

void PromptDriver::inGui(const std::function<void()> &step)
{
    QCoreApplication *app = currentApp.load();
    if (!app || returned.load())
        return;
    QMetaObject::invokeMethod(app, step, Qt::BlockingQueuedConnection);
}

bool PromptDriver::stillVisible(QWidget *window)
{
    bool visible = false;
    inGui([&] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w == window && w->isVisible())
                visible = true;
        }
    });
    return visible;
}

bool PromptDriver::waitForReturn(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!returned.load()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        sleepMs(5);
    }
    return true;
}

void PromptDriver::calling()
{
    callingThread.store(static_cast<int>(gettid()));
    calledAt = std::chrono::steady_clock::now();
    called.store(true);
}

namespace {

// The scheduler's state of one of this process's threads: 'R' running or ready to run, 'S'
// asleep (waiting), and so on; 0 when it cannot be read.
char threadState(int tid)
{
    QFile stat(QString("/proc/self/task/%1/stat").arg(tid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // "tid (name) state ...": the name may hold spaces and parentheses of its own.
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end >= 0 && end + 2 < line.size() ? line.at(end + 2) : 0;
}

} // namespace

void PromptDriver::sleepFromCall(int ms)
{
    while (!called.load() && !returned.load())
        sleepMs(1);
    // The call has begun once the calling thread waits: the library lets it wait only after it
    // has taken the call in.
    while (!returned.load() && threadState(callingThread.load()) != 'S')
        sleepMs(1);
    std::this_thread::sleep_until(calledAt + std::chrono::milliseconds(ms));
}

void PromptDriver::screenshot(const QString &name)
{
    const QByteArray dir = qgetenv("PINPROMPT_SHOTS");
    if (dir.isEmpty())
        return;
    sleepMs(300); // let the window paint
    const QByteArray command = "import -window root '" + dir + "/" + name.toUtf8() + ".png'";
    check(std::system(command.constData()) == 0, "screenshot failed: " + QString(command));
}

void PromptDriver::end(QWidget *window, Ending how)
{
    if (!window)
        return;
    inGui([&] { check(endDialog(window, how), "button not found"); });
}

void PromptDriver::check(bool condition, const QString &failure)
{
    if (condition)
        return;
    std::lock_guard<std::mutex> lock(failureMutex);
    failureList << failure;
}

QStringList PromptDriver::failures() const
{
    std::lock_guard<std::mutex> lock(failureMutex);
    return failureList;
}

bool PromptDriver::onRealDisplay()
{
    return qgetenv("QT_QPA_PLATFORM") == "xcb";
}

namespace {

int runXdotool(const QString &arguments)
{
    const QByteArray command = "xdotool " + arguments.toUtf8();
    return std::system(command.constData());
}

} // namespace

void PromptDriver::userClicks(QWidget *widget)
{
    if (!widget)
        return;
    if (!onRealDisplay()) {
        inGui([&] { QTest::mouseClick(widget, Qt::LeftButton); });
        return;
    }
    // Read in the GUI thread before the click: the click may end the dialog and its export.
    WId window = 0;
    QPoint at;
    QString name;
    inGui([&] {
        window = widget->window()->winId();
        at = widget->mapTo(widget->window(), widget->rect().center());
        name = widget->objectName();
    });
    // The pointer goes next to the point first: --sync waits for a motion, and a pointer that
    // is already at the point (the same field in the previous dialog) makes none.
    check(runXdotool(QString("mousemove --window %1 %2 %3 mousemove --sync --window %1 %4 %5 click 1")
                         .arg(window).arg(at.x() + 1).arg(at.y() + 1).arg(at.x()).arg(at.y())) == 0,
          "xdotool could not click " + name);
}

void PromptDriver::userTypes(QWidget *field, const QString &ascii)
{
    if (!field)
        return;
    if (!onRealDisplay()) {
        inGui([&] { typeText(field, ascii); });
        return;
    }
    userClicks(field);
    check(runXdotool("type --delay 20 '" + ascii + "'") == 0, "xdotool could not type");
}

void PromptDriver::userPressesKey(QWidget *widget, Ending key)
{
    if (!widget)
        return;
    if (!onRealDisplay()) {
        inGui([&] {
            switch (key) {
            case Ending::EnterKey:
                QTest::keyClick(widget, Qt::Key_Return);
                break;
            case Ending::KeypadEnterKey:
                QTest::keyClick(widget, Qt::Key_Enter, Qt::KeypadModifier);
                break;
            default:
                QTest::keyClick(widget, Qt::Key_Escape);
                break;
            }
        });
        return;
    }
    const char *name = key == Ending::EnterKey ? "Return" : key == Ending::KeypadEnterKey ? "KP_Enter" : "Escape";
    userClicks(widget);
    check(runXdotool(QString("key ") + name) == 0, QString("xdotool could not press ") + name);
}

void PromptDriver::checkPainted(QWidget *window, const QString &what)
{
    if (!window || !onRealDisplay())
        return;
    sleepMs(300); // let the window paint
    bool painted = false;
    inGui([&] {
        const QImage shown = window->screen()->grabWindow(window->winId()).toImage();
        for (int y = 0; y < shown.height() && !painted; y += 4) {
            for (int x = 0; x < shown.width() && !painted; x += 4)
                painted = (shown.pixel(x, y) & 0xffffff) != 0;
        }
    });
    check(painted, what + " shows as a black window");
}
