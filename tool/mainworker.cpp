#include "mainworker.h"

#include <QByteArray>
#include <QDebug>
#include <QMetaMethod>

#include <cstring>

#include "skflibrary.h"

namespace {

constexpr ULONG kNameBufferSize = 512;

// Results of an attempt that never reached the token library's wait.
constexpr ULONG kBindFailed = 1;
constexpr ULONG kNoWaitFunction = 2;

// Granularity of the pause, so that a stop request ends it promptly.
constexpr int kPauseSliceMs = 50;

} // namespace

MainWorker::MainWorker(QObject *parent)
    : QThread(parent), eventCode(-1)
{
    qDebug() << "Enter MainWorker Method";
}

MainWorker::~MainWorker()
{
    qDebug() << "Enter ~MainWorker Method";
}

void MainWorker::setSkfLibName(const QString &path)
{
    skfLibName = path;
}

void MainWorker::run()
{
    qDebug() << "MainWorker Thread ID: " << QThread::currentThreadId();
    qDebug() << "Enter MainWorker run Method";
    qDebug() << "skfLibName:" << skfLibName;

    const QMetaMethod stateSignal = QMetaMethod::fromSignal(&MainWorker::ukeyStateSignal);
    // The wait itself cannot be cancelled; a stop request takes effect after the wait
    // in progress has returned. At program exit a thread still blocked in the wait
    // simply ends with the process.
    while (!isInterruptionRequested()) {
        const ULONG result = startWaitLisente();
        const QString name = eventDevName;
        const int event = eventCode;
        if (isSignalConnected(stateSignal))
            emit ukeyStateSignal(static_cast<int>(result), name, event);
        if (result != 0)
            pauseAfterFailure();
    }
}

void MainWorker::pauseAfterFailure()
{
    for (int waited = 0; waited < kRetryPauseMs && !isInterruptionRequested(); waited += kPauseSliceMs)
        QThread::msleep(kPauseSliceMs);
}

ULONG MainWorker::startWaitLisente()
{
    char name[kNameBufferSize];
    std::memset(name, 0, sizeof(name));
    ULONG nameLen = kNameBufferSize;
    ULONG event = 0;

    // Opening an already bound library only finds it again; it is never released.
    void *lib = SkfLibrary::bind(skfLibName, "Cannot open library: ", "\n");
    if (!lib)
        return kBindFailed;

    auto waitForDevEvent = SkfLibrary::resolve(lib, SKF_FUNCTION(SKF_WaitForDevEvent));
    if (!waitForDevEvent) {
        SkfLibrary::takeLoaderError();
        eventDevName = QString();
        eventCode = -1;
        return kNoWaitFunction;
    }

    const ULONG result = waitForDevEvent(name, &nameLen, &event);

    const size_t limit = nameLen < kNameBufferSize ? static_cast<size_t>(nameLen) : kNameBufferSize;
    const char *end = static_cast<const char *>(std::memchr(name, 0, limit));
    const size_t length = end ? static_cast<size_t>(end - name) : limit;
    eventDevName = QString::fromUtf8(name, static_cast<int>(length));
    eventCode = static_cast<int>(event);
    return result;
}
