// The key management and format pages over a scripted token library that lacks one PIN
// function (MISSING_FUNCTION). The access layer answers such a call with a code of its
// own (3), which reads like three retries left: the pages find the function missing
// before they call anything, and no tip shows a number of retries.
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <dlfcn.h>

#include <cstring>
#include <memory>

#include "fakeskf_state.h"
#include "format.h"
#include "keymanage.h"
#include "msgtipcatcher.h"
#include "utils.h"

class TestPagesMissingPin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void keyPageCallsNothing();
    void formatPageReportsTheRefusalOnly();

private:
    void *lib = nullptr;
    FakeSkfState *state = nullptr;
    std::unique_ptr<MsgTipCatcher> tips;
};

void TestPagesMissingPin::initTestCase()
{
    // The library where the pages bind it: beside the directory of this program.
    const QString path = QCoreApplication::applicationDirPath() + "/../mvukeytool/libSKFAPI.so";
    lib = dlopen(path.toUtf8().constData(), RTLD_LAZY | RTLD_GLOBAL);
    QVERIFY2(lib, dlerror());
    QVERIFY(!dlsym(lib, MISSING_FUNCTION));
    auto *stateOf = reinterpret_cast<FakeSkfState *(*)()>(dlsym(lib, "fakeskf_state"));
    QVERIFY(stateOf);
    state = stateOf();
}

void TestPagesMissingPin::init()
{
    // Every call succeeds; every list, the devices and the applications, names "APP".
    *state = FakeSkfState();
    const char names[] = "APP\0";
    std::memcpy(state->names, names, sizeof names);
    state->namesLength = sizeof names;
    state->retries = 7;
    tips.reset(new MsgTipCatcher);
}

void TestPagesMissingPin::cleanupTestCase()
{
    tips.reset();
    if (lib)
        dlclose(lib);
}

void TestPagesMissingPin::keyPageCallsNothing()
{
    KeyManage page(nullptr);
    page.findChild<QLineEdit *>("lineEdit")->setText("11111111");
    page.findChild<QLineEdit *>("lineEdit_2")->setText("22222222");
    page.findChild<QLineEdit *>("lineEdit_3")->setText("22222222");
    const int callsBefore = state->calls;
    QVERIFY(callsBefore > 0); // the page loaded the token

    QTest::mouseClick(page.findChild<QPushButton *>("pushButton_2"), Qt::LeftButton);
    QTest::qWait(100);
    // A change that cannot reach the token ends without a message, and without spending
    // a retry on a verification whose change could not follow.
    QCOMPARE(tips->texts, QStringList());
    QCOMPARE(state->calls, callsBefore);
}

void TestPagesMissingPin::formatPageReportsTheRefusalOnly()
{
    if (qstrcmp(MISSING_FUNCTION, "SKF_VerifyPIN") != 0)
        QSKIP("the format page verifies the administrator PIN only");
    Format page(nullptr);
    QSignalSpy refresh(&page, &Format::Refresh);
    const int callsBefore = state->calls;

    QTest::mouseClick(page.findChild<QPushButton *>("pushButton"), Qt::LeftButton);
    QCOMPARE(tips->texts, QStringList(QString::fromUtf8("您管理员PIN码错误！")));
    QCOMPARE(state->calls, callsBefore);
    QCOMPARE(refresh.count(), 0);
}

QTEST_MAIN(TestPagesMissingPin)
#include "test_pages_missing_pin.moc"
