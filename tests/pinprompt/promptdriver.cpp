#include "promptdriver.h"

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <chrono>
#include <cstdlib>

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
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(widget, c.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

void PromptDriver::run(const std::function<void()> &exportCall, const std::function<void(PromptDriver &)> &script)
{
    returned.store(false);
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
