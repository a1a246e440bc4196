// Text and message helpers of Utils: name lists, decoders, GBK files, key lookup, message tip.
#include "utils.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTimer>
#include <QtTest>

#include <functional>

// Answers the first modal widget of class T that the code under test opens, from a 20 ms
// poll, so that the modal call returns.
template <typename T>
class ModalAnswer
{
public:
    explicit ModalAnswer(std::function<void(T *)> answer)
    {
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [this, answer] {
            auto *widget = qobject_cast<T *>(QApplication::activeModalWidget());
            if (!widget || seen)
                return;
            seen = true;
            answer(widget);
        });
        poll.start();
    }

    bool seen = false;

private:
    QTimer poll;
};

// Counts the layout requests of the widget it watches.
class LayoutCounter : public QObject
{
public:
    explicit LayoutCounter(int *count) : count(count) {}
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::LayoutRequest)
            ++*count;
        return false;
    }

private:
    int *count;
};

class TestUtilsText : public QObject
{
    Q_OBJECT

private slots:
    void parseCharArray_data();
    void parseCharArray();
    void parseCharArrayNull();
    void decoders_data();
    void decoders();
    void readfileGbk();
    void readfileMissing();
    void getLibName_data();
    void getLibName();
    void showMsgTip();
    void showPwdDialog_data();
    void showPwdDialog();

private:
    QTemporaryDir dir;
    QString writeFile(const QString &name, const QByteArray &bytes);
};

QString TestUtilsText::writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(bytes);
    return path;
}

void TestUtilsText::parseCharArray_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<int>("length");
    QTest::addColumn<QStringList>("names");

    const QByteArray ab("A\0B\0\0", 5);
    QTest::newRow("two names, full length") << ab << 5 << QStringList{"A", "B"};
    QTest::newRow("second name ends at the length") << ab << 3 << QStringList{"A", "B"};
    QTest::newRow("length cuts before the second") << ab << 2 << QStringList{"A"};
    QTest::newRow("length inside the first name") << QByteArray("ABC\0", 4) << 2 << QStringList{"AB"};
    QTest::newRow("leading NUL, long length") << QByteArray("\0A\0\0", 4) << 4 << QStringList{};
    QTest::newRow("leading NUL, length 1") << QByteArray("\0", 1) << 1 << QStringList{};
    QTest::newRow("zero length") << ab << 0 << QStringList{};
    QTest::newRow("negative length") << ab << -1 << QStringList{};
    QTest::newRow("stops at the empty name")
        << QByteArray("dev1\0\0dev2\0\0", 12) << 12 << QStringList{"dev1"};
    QTest::newRow("UTF-8 names keep order, no de-duplication")
        << QByteArray("\xe5\xae\xb9\xe5\x99\xa8\0b\0b\0\0", 12) << 12
        << QStringList{QString::fromUtf8("容器"), "b", "b"};
    QTest::newRow("invalid UTF-8 becomes replacement, keeps its place")
        << QByteArray("a\0x\xff\xfey\0c\0\0", 10) << 10
        << QStringList{"a", QStringLiteral("x\uFFFD\uFFFDy"), "c"};
}

void TestUtilsText::parseCharArray()
{
    QFETCH(QByteArray, buffer);
    QFETCH(int, length);
    QFETCH(QStringList, names);
    // The buffer is exactly as long as the bytes: reading past it would be caught by ASan.
    QByteArray copy(buffer);
    const QList<QString> result = Utils::parseCharArray(copy.data(), length);
    QCOMPARE(QStringList(result), names);
}

void TestUtilsText::parseCharArrayNull()
{
    QVERIFY(Utils::parseCharArray(nullptr, 16).isEmpty());
}

void TestUtilsText::decoders_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("gbk");
    QTest::addColumn<QString>("text");

    QTest::newRow("UTF-8 Chinese") << QByteArray("\xe7\xa1\xae\xe5\xae\x9a") << false
                                   << QString::fromUtf8("确定");
    QTest::newRow("UTF-8 stops at NUL") << QByteArray("ab\0cd", 5) << false << QString("ab");
    QTest::newRow("UTF-8 invalid byte") << QByteArray("a\xff") << false << QStringLiteral("a\uFFFD");
    QTest::newRow("GBK label") << QByteArray("\xc8\xb7\xb6\xa8 Key") << true
                               << QString::fromUtf8("确定 Key");
    QTest::newRow("GBK ASCII") << QByteArray("LABEL-01") << true << QString("LABEL-01");
}

void TestUtilsText::decoders()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, gbk);
    QFETCH(QString, text);
    const QString result = gbk ? Utils::convertCharToGBKStr(bytes.constData())
                               : Utils::convertCharToUTF8Str(bytes.constData());
    QCOMPARE(result, text);

    QVERIFY(Utils::convertCharToUTF8Str(nullptr).isEmpty());
    QVERIFY(Utils::convertCharToGBKStr(nullptr).isEmpty());
}

void TestUtilsText::readfileGbk()
{
    // "标签 { color: red; }" in GBK, with Windows line ends that text mode folds.
    const QByteArray gbk = QTextCodec::codecForName("GBK")->fromUnicode(
        QString::fromUtf8("/* 标签 */\r\nQLabel { color: red; }\r\n"));
    const QString path = writeFile("sheet.css", gbk);
    QCOMPARE(Utils::readfile(path), QString::fromUtf8("/* 标签 */\nQLabel { color: red; }\n"));
}

void TestUtilsText::readfileMissing()
{
    QVERIFY(Utils::readfile(dir.filePath("no-such.css")).isEmpty());
    QVERIFY(Utils::readfile(":/Qss/no-such.css").isEmpty());
}

void TestUtilsText::getLibName_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("isNull");

    const QByteArray both("# libraries\nSKFLIBNAME:libSKFAPI.so\nOESLIBNAME:x\n");
    QTest::newRow("kind 0 keeps the line end") << both << 0 << QString("libSKFAPI.so\n") << false;
    QTest::newRow("kind 1 one letter") << both << 1 << QString("x\n") << false;
    QTest::newRow("kind 1 last line without line end")
        << QByteArray("SKFLIBNAME:a\nOESLIBNAME:x") << 1 << QString("x") << false;
    QTest::newRow("kind 2 matches nothing") << both << 2 << QString() << true;
    QTest::newRow("first match wins") << QByteArray("SKFLIBNAME:one\nSKFLIBNAME:two\n") << 0
                                      << QString("one\n") << false;
    QTest::newRow("two further parts give the first")
        << QByteArray("SKFLIBNAME:lib.so:extra\n") << 0 << QString("lib.so") << false;
    QTest::newRow("key must start the line") << QByteArray(" SKFLIBNAME:a\n") << 0 << QString()
                                             << true;
    QTest::newRow("key is case-sensitive") << QByteArray("skflibname:a\n") << 0 << QString() << true;
    QTest::newRow("key without colon") << QByteArray("SKFLIBNAME\n") << 0 << QString() << true;
    QTest::newRow("UTF-8 value") << QByteArray("SKFLIBNAME:\xe5\xba\x93.so") << 0
                                 << QString::fromUtf8("库.so") << false;
}

void TestUtilsText::getLibName()
{
    QFETCH(QByteArray, content);
    QFETCH(int, kind);
    QFETCH(QString, value);
    QFETCH(bool, isNull);
    const QString path = writeFile(QStringLiteral("libs-%1.conf").arg(QTest::currentDataTag()),
                                   content);
    const QString result = Utils::getLibName(kind, path);
    QCOMPARE(result, value);
    QCOMPARE(result.isNull(), isNull);
    QVERIFY(Utils::getLibName(0, dir.filePath("missing.conf")).isNull());
}

void TestUtilsText::showMsgTip()
{
    QString title, text;
    QStringList buttons;
    QSize minimum, shrunk;
    int layouts = 0;
    LayoutCounter counter(&layouts);
    QMessageBox::Icon icon = QMessageBox::NoIcon;

    ModalAnswer<QMessageBox> answer([&](QMessageBox *box) {
        box->installEventFilter(&counter);
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        minimum = box->minimumSize();
        for (QAbstractButton *b : box->buttons())
            buttons << b->text();
        box->resize(50, 50);
        QCoreApplication::processEvents();
        shrunk = box->size();
        layouts = 0;
        QTest::qWait(100); // a settled box lays itself out no more
        box->buttons().value(0)->click();
    });
    Utils::showMsgTip(QString::fromUtf8("PIN码错误，剩余次数：3"));

    QVERIFY(answer.seen);
    QCOMPARE(title, QString::fromUtf8("温馨提示："));
    QCOMPARE(text, QString::fromUtf8("PIN码错误，剩余次数：3"));
    QCOMPARE(icon, QMessageBox::Warning);
    QCOMPARE(buttons, QStringList{QString::fromUtf8("确定")});
    QVERIFY2(minimum.width() >= 200 && minimum.height() >= 200, "minimum below 200 x 200");
    QVERIFY2(shrunk.width() >= 200 && shrunk.height() >= 200, "the tip shrank below 200 x 200");
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY2(layouts < 5, qPrintable(QString("%1 relayouts of a settled box").arg(layouts)));
}

void TestUtilsText::showPwdDialog_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QString>("result");
    QTest::newRow("confirmed") << true << QString("123456");
    QTest::newRow("cancelled") << false << QString();
}

void TestUtilsText::showPwdDialog()
{
    QFETCH(bool, accept);
    QFETCH(QString, result);
    QString title, label;
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    ModalAnswer<QInputDialog> answer([&](QInputDialog *dialog) {
        title = dialog->windowTitle();
        label = dialog->labelText();
        echo = dialog->textEchoMode();
        dialog->setTextValue("123456");
        if (accept)
            dialog->accept();
        else
            dialog->reject();
    });
    const QString typed = Utils::showPwdDialog(nullptr);
    QVERIFY(answer.seen);
    QCOMPARE(title, QString::fromUtf8("请您输入PIN"));
    QCOMPARE(label, QString("PIN:"));
    QCOMPARE(echo, QLineEdit::Password);
    QCOMPARE(typed, result);
}

QTEST_MAIN(TestUtilsText)
#include "test_utils_text.moc"
