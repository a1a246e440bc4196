// The device-event thread against a scripted wait: the report of each wait, the
// decoding of the device name, the pacing of failed attempts and a prompt stop.
#include <QElapsedTimer>
#include <QtTest>

#include <dlfcn.h>

#include "mainworker.h"

namespace {

struct Report {
    int result;
    QString name;
    int event;
};

using PostFn = void (*)(const void *, size_t, ULONG, ULONG, ULONG);
using FailFn = void (*)(ULONG);
using ResetFn = void (*)();
using CallsFn = unsigned long (*)();

} // namespace

class TestMainWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void reportsEachEvent();
    void decodesName_data();
    void decodesName();
    void pacesFailures_data();
    void pacesFailures();
    void stopsPromptlyWhilePausing();
    void keepsWaitingWithNothingConnected();

private:
    void startWorker(const QString &path);

    QString waitLib;
    QString noWaitLib;
    PostFn post = nullptr;
    FailFn failAlways = nullptr;
    ResetFn reset = nullptr;
    CallsFn calls = nullptr;
    MainWorker *worker = nullptr;
    // Receives the reports of one worker; deleted with it, so that no late report
    // reaches the next case.
    QObject *sink = nullptr;
    QList<Report> reports;
};

void TestMainWorker::initTestCase()
{
    waitLib = QStringLiteral(FAKEWAIT_LIB);
    noWaitLib = QStringLiteral(FAKENOWAIT_LIB);
    // The worker binds the same file, so this handle reaches the same script.
    void *h = dlopen(waitLib.toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
    QVERIFY2(h, dlerror());
    post = reinterpret_cast<PostFn>(dlsym(h, "fakewait_post"));
    failAlways = reinterpret_cast<FailFn>(dlsym(h, "fakewait_fail_always"));
    reset = reinterpret_cast<ResetFn>(dlsym(h, "fakewait_reset"));
    calls = reinterpret_cast<CallsFn>(dlsym(h, "fakewait_calls"));
    QVERIFY(post && failAlways && reset && calls);
}

void TestMainWorker::startWorker(const QString &path)
{
    reports.clear();
    worker = new MainWorker(nullptr);
    worker->setSkfLibName(path);
    sink = new QObject(this);
    connect(worker, &MainWorker::ukeyStateSignal, sink,
            [this](int result, const QString &name, int event) { reports.append({result, name, event}); },
            Qt::QueuedConnection);
    worker->start(QThread::LowPriority);
}

void TestMainWorker::cleanup()
{
    if (!worker)
        return;
    worker->requestInterruption();
    worker->quit();
    // A thread blocked in the scripted wait leaves it with one more event.
    if (!worker->wait(200))
        post("", 0, 0, 0, 0);
    QVERIFY(worker->wait(3000));
    delete worker;
    worker = nullptr;
    delete sink;
    sink = nullptr;
    reset();
}

void TestMainWorker::reportsEachEvent()
{
    startWorker(waitLib);
    post("A", 2, 2, SKF_DEV_EVENT_INSERTED, 0);
    QTRY_COMPARE(reports.size(), 1);
    post("A", 2, 2, SKF_DEV_EVENT_REMOVED, 0);
    QTRY_COMPARE(reports.size(), 2);
    QCOMPARE(reports.at(0).result, 0);
    QCOMPARE(reports.at(0).name, QStringLiteral("A"));
    QCOMPARE(reports.at(0).event, SKF_DEV_EVENT_INSERTED);
    QCOMPARE(reports.at(1).name, QStringLiteral("A"));
    QCOMPARE(reports.at(1).event, SKF_DEV_EVENT_REMOVED);
}

void TestMainWorker::decodesName_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qulonglong>("reportedLength");
    QTest::addColumn<QString>("expected");

    const QByteArray full(512, 'x');
    QTest::newRow("512 bytes, no zero byte") << full << qulonglong(512) << QString(full);
    QTest::newRow("length above the buffer") << QByteArray(520, 'y') << qulonglong(4096) << QString(QByteArray(512, 'y'));
    QTest::newRow("length shorter than the name") << QByteArray("token-01") << qulonglong(5) << QStringLiteral("token");
    QTest::newRow("zero byte inside the length") << QByteArray("ab\0cd", 5) << qulonglong(5) << QStringLiteral("ab");
    QTest::newRow("utf-8 name") << QByteArray("\xe4\xb8\xad\xe6\x96\x87") << qulonglong(6) << QString::fromUtf8("中文");
}

void TestMainWorker::decodesName()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qulonglong, reportedLength);
    QFETCH(QString, expected);

    startWorker(waitLib);
    post(bytes.constData(), size_t(bytes.size()), reportedLength, SKF_DEV_EVENT_INSERTED, 0);
    QTRY_COMPARE(reports.size(), 1);
    QCOMPARE(reports.at(0).name, expected);
    QCOMPARE(reports.at(0).event, SKF_DEV_EVENT_INSERTED);
}

void TestMainWorker::pacesFailures_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<int>("result");
    QTest::newRow("library cannot be bound") << QStringLiteral("missing") << 1;
    QTest::newRow("no wait function") << QStringLiteral("nowait") << 2;
    QTest::newRow("wait fails at once") << QStringLiteral("failing") << 0x0A000023;
}

void TestMainWorker::pacesFailures()
{
    QFETCH(QString, which);
    QFETCH(int, result);

    QString path = waitLib;
    if (which == QLatin1String("missing"))
        path = QDir::temp().filePath(QStringLiteral("no-such-dir-%1/libSKFAPI.so").arg(QCoreApplication::applicationPid()));
    else if (which == QLatin1String("nowait"))
        path = noWaitLib;
    else
        failAlways(ULONG(result));

    startWorker(path);
    QTest::qWait(3000);
    // About one attempt a second; back-to-back attempts would give thousands.
    QVERIFY2(reports.size() >= 2 && reports.size() <= 5, qPrintable(QString::number(reports.size())));
    for (const Report &r : qAsConst(reports)) {
        QCOMPARE(r.result, result);
        if (which != QLatin1String("failing")) {
            QCOMPARE(r.name, QString());
            QCOMPARE(r.event, -1);
        }
    }
}

void TestMainWorker::stopsPromptlyWhilePausing()
{
    startWorker(noWaitLib);
    QTRY_COMPARE(reports.size(), 1);
    QElapsedTimer timer;
    timer.start();
    worker->requestInterruption();
    QVERIFY(worker->wait(3000));
    // Well within the pause of a second.
    QVERIFY2(timer.elapsed() < 800, qPrintable(QString::number(timer.elapsed())));
}

void TestMainWorker::keepsWaitingWithNothingConnected()
{
    const unsigned long before = calls();
    worker = new MainWorker(nullptr);
    worker->setSkfLibName(waitLib);
    worker->start(QThread::LowPriority);
    // Each event ends one wait and the thread goes straight into the next.
    QTRY_COMPARE(calls(), before + 1);
    post("A", 2, 2, SKF_DEV_EVENT_INSERTED, 0);
    QTRY_COMPARE(calls(), before + 2);
    post("A", 2, 2, SKF_DEV_EVENT_REMOVED, 0);
    QTRY_COMPARE(calls(), before + 3);
    QVERIFY(worker->isRunning());
}

QTEST_GUILESS_MAIN(TestMainWorker)
#include "test_mainworker.moc"
