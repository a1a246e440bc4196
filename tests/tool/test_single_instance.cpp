// The single-instance guard, with real MirvaleClient processes. Each test case works in a
// private temporary folder (the guard's socket lives in TMPDIR) with its own copies of the
// program, so cases and test programs may run side by side.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <signal.h>

namespace {
const int kStartTimeoutMs = 20000;
}

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void secondStart_data();
    void secondStart();
    void staleSocketIsTakenOver();

private:
    std::unique_ptr<QTemporaryDir> work;
    QList<QProcess *> started;

    QString copyProgram(const QString &subdir, const QString &name);
    QProcess *start(const QString &program);
    bool waitForGuard(const QString &name);
};

void TestSingleInstance::init()
{
    work.reset(new QTemporaryDir);
    QVERIFY(work->isValid());
    QVERIFY(QDir(work->path()).mkpath("tmp"));
}

void TestSingleInstance::cleanup()
{
    for (QProcess *p : started) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
        delete p;
    }
    started.clear();
    work.reset();
}

QString TestSingleInstance::copyProgram(const QString &subdir, const QString &name)
{
    const QString source = qEnvironmentVariable("MV_BIN_DIR") + "/MirvaleClient";
    QDir dir(work->path());
    dir.mkpath(subdir);
    const QString target = dir.filePath(subdir + "/" + name);
    if (!QFile::exists(target) && !QFile::copy(source, target))
        return QString();
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return target;
}

QProcess *TestSingleInstance::start(const QString &program)
{
    auto *p = new QProcess;
    started.append(p);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", work->path() + "/tmp");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // No token library in the copies' folders: the program still starts.
    env.insert("MVUKEY_STORE", work->path() + "/store");
    p->setProcessEnvironment(env);
    p->setWorkingDirectory(work->path());
    p->start(program, QStringList());
    p->waitForStarted(kStartTimeoutMs);
    return p;
}

bool TestSingleInstance::waitForGuard(const QString &name)
{
    const QString socket = work->path() + "/tmp/" + name;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kStartTimeoutMs) {
        if (QFileInfo(socket).exists())
            return true;
        QTest::qWait(20);
    }
    return false;
}

void TestSingleInstance::secondStart_data()
{
    QTest::addColumn<QString>("firstDir");
    QTest::addColumn<QString>("firstName");
    QTest::addColumn<QString>("secondDir");
    QTest::addColumn<QString>("secondName");
    QTest::addColumn<bool>("sees");
    QTest::newRow("same file") << "a" << "MirvaleClient" << "a" << "MirvaleClient" << true;
    QTest::newRow("same name, other folder") << "a" << "MirvaleClient" << "b" << "MirvaleClient" << true;
    QTest::newRow("other name") << "a" << "MirvaleClient" << "a" << "MirvaleClient2" << false;
}

void TestSingleInstance::secondStart()
{
    QFETCH(QString, firstDir);
    QFETCH(QString, firstName);
    QFETCH(QString, secondDir);
    QFETCH(QString, secondName);
    QFETCH(bool, sees);

    const QString firstProgram = copyProgram(firstDir, firstName);
    const QString secondProgram = copyProgram(secondDir, secondName);
    QVERIFY(!firstProgram.isEmpty() && !secondProgram.isEmpty());

    QProcess *first = start(firstProgram);
    QVERIFY(waitForGuard(firstName));
    QProcess *second = start(secondProgram);

    if (sees) {
        QVERIFY(second->waitForFinished(kStartTimeoutMs));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(QString::fromLocal8Bit(second->readAllStandardError()),
                 secondName + " already running.\n");
        QCOMPARE(second->readAllStandardOutput(), QByteArray());
    } else {
        // A program of another name becomes a guard of its own and keeps running.
        QVERIFY(waitForGuard(secondName));
        QVERIFY(!second->waitForFinished(1000));
        QVERIFY(!second->readAllStandardError().contains("already running"));
    }
    // The first instance runs on, untouched.
    QTest::qWait(200);
    QCOMPARE(first->state(), QProcess::Running);
    QVERIFY(!first->readAllStandardError().contains("already running"));
}

void TestSingleInstance::staleSocketIsTakenOver()
{
    const QString program = copyProgram("a", "MirvaleClient");
    QProcess *first = start(program);
    QVERIFY(waitForGuard("MirvaleClient"));
    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished(kStartTimeoutMs));
    QVERIFY2(QFileInfo::exists(work->path() + "/tmp/MirvaleClient"), "the killed instance's socket is left");

    // The next start finds no one answering, removes the name and listens itself.
    QProcess *next = start(program);
    QVERIFY(!next->waitForFinished(2000));
    QVERIFY(!next->readAllStandardError().contains("already running"));

    // ... and is the guard from now on.
    QProcess *third = start(program);
    QVERIFY(third->waitForFinished(kStartTimeoutMs));
    QCOMPARE(third->exitCode(), 0);
    QCOMPARE(QString::fromLocal8Bit(third->readAllStandardError()), QString("MirvaleClient already running.\n"));
    QCOMPARE(next->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
