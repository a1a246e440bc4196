// The two dialog classes of libpinprompt used directly, inside the test's own application.
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <vector>

#include "dialogending.h"
#include "lcdtipsdialog.h"
#include "login.h"
#include "logindialog.h"

class TestPinPromptDialogs : public QObject
{
    Q_OBJECT

private slots:
    void loginDialogForm_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("className");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::newRow("pwLineEdit") << "pwLineEdit" << QByteArray("QLineEdit") << QRect(130, 30, 161, 31) << "";
        QTest::newRow("label") << "label" << QByteArray("QLabel") << QRect(50, 30, 71, 22) << "password:";
        QTest::newRow("CancelBtn") << "CancelBtn" << QByteArray("QPushButton") << QRect(90, 90, 81, 31) << "Cancel";
        QTest::newRow("okBtn") << "okBtn" << QByteArray("QPushButton") << QRect(200, 90, 81, 31) << "Ok";
    }

    void loginDialogForm()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, className);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);

        LoginDialog dialog;
        QCOMPARE(dialog.objectName(), QString("LoginDialog"));
        QCOMPARE(dialog.size(), QSize(357, 136));
        QCOMPARE(dialog.windowTitle(), QString("Input PassWord"));
        auto *widget = dialog.findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->metaObject()->className(), className.constData());
        QCOMPARE(widget->parentWidget(), &dialog);
        QCOMPARE(widget->geometry(), geometry);
        QCOMPARE(widget->property("text").toString(), text);
        // Ok is the default button, so that Enter confirms the password.
        if (auto *button = qobject_cast<QPushButton *>(widget))
            QCOMPARE(button->isDefault(), name == "okBtn");
        if (auto *field = qobject_cast<QLineEdit *>(widget)) {
            QCOMPARE(field->echoMode(), QLineEdit::Password);
            QCOMPARE(field->maxLength(), PINPROMPT_PASSWORD_CAPACITY);
        }
    }

    void loginDialogTabOrder()
    {
        LoginDialog dialog;
        QWidget *field = dialog.findChild<QWidget *>("pwLineEdit");
        QCOMPARE(field->nextInFocusChain()->objectName(), QString("label"));
        QCOMPARE(field->nextInFocusChain()->nextInFocusChain()->objectName(), QString("CancelBtn"));
        QCOMPARE(dialog.findChild<QWidget *>("CancelBtn")->nextInFocusChain()->objectName(), QString("okBtn"));
    }

    void loginDialogEnds_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("result");
        QTest::newRow("Ok") << Ending::OkButton << int(QDialog::Accepted);
        QTest::newRow("Cancel") << Ending::CancelButton << int(QDialog::Rejected);
        QTest::newRow("Escape") << Ending::EscapeKey << int(QDialog::Rejected);
        QTest::newRow("close button") << Ending::CloseButton << int(QDialog::Rejected);
        QTest::newRow("Enter") << Ending::EnterKey << int(QDialog::Accepted);
        QTest::newRow("keypad Enter") << Ending::KeypadEnterKey << int(QDialog::Accepted);
    }

    void loginDialogEnds()
    {
        QFETCH(Ending, ending);
        QFETCH(int, result);
        LoginDialog dialog;
        QTimer::singleShot(0, &dialog, [&] {
            QTest::keyClicks(dialog.findChild<QLineEdit *>("pwLineEdit"), "1234");
            if (!endDialog(&dialog, ending))
                dialog.done(-1);
        });
        QCOMPARE(dialog.exec(), result);
        QVERIFY(!dialog.isVisible());
    }

    void passwordFieldTakesLatin1Only_data()
    {
        QTest::addColumn<bool>("pasted");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("held");
        const QString accented = QString::fromUtf8("preÑandú ©ÿ");
        QTest::newRow("typed Latin-1") << false << QString::fromUtf8("Ñandú ©ÿ") << accented;
        QTest::newRow("typed euro sign") << false << QString::fromUtf8("€") << "pre";
        QTest::newRow("typed Cyrillic and Chinese") << false << QString::fromUtf8("ж中") << "pre";
        QTest::newRow("pasted Latin-1") << true << QString::fromUtf8("Ñandú ©ÿ") << accented;
        QTest::newRow("pasted with a character beyond Latin-1") << true << QString::fromUtf8("a€b") << "pre";
        QTest::newRow("pasted with a character beyond 16 bits") << true << QString::fromUtf8("x😀y") << "pre";
        QTest::newRow("pasted with a zero character") << true << QString("a") + QChar(0) + "b" << "pre";
        QTest::newRow("pasted beyond the capacity") << true << QString(PINPROMPT_PASSWORD_CAPACITY, QChar('z'))
                                                   << "pre" + QString(PINPROMPT_PASSWORD_CAPACITY - 3, QChar('z'));
    }

    // Whatever way a text comes into the field, it holds only what GetPW hands back byte for
    // byte; a text with any other character is refused whole.
    void passwordFieldTakesLatin1Only()
    {
        QFETCH(bool, pasted);
        QFETCH(QString, text);
        QFETCH(QString, held);
        LoginDialog dialog;
        auto *field = dialog.findChild<QLineEdit *>("pwLineEdit");
        QTest::keyClicks(field, "pre");
        if (pasted)
            field->insert(text);
        else
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, text, Qt::NoModifier);
        QCOMPARE(field->text(), held);
        std::vector<char> buffer(PINPROMPT_PASSWORD_CAPACITY + 1, char(0x5a));
        dialog.GetPW(buffer.data());
        QCOMPARE(QByteArray(buffer.data()), held.toLatin1());
    }

    // The copy stops at the capacity even when the field has been made to hold more.
    void getPwNeverWritesBeyondTheCapacity()
    {
        LoginDialog dialog;
        auto *field = dialog.findChild<QLineEdit *>("pwLineEdit");
        field->setMaxLength(32767);
        field->setText(QString(PINPROMPT_PASSWORD_CAPACITY + 20, QChar('x')));
        std::vector<char> buffer(PINPROMPT_PASSWORD_CAPACITY + 40, char(0x5a));
        dialog.GetPW(buffer.data());
        QCOMPARE(QByteArray(buffer.data()), QByteArray(PINPROMPT_PASSWORD_CAPACITY, 'x'));
        for (size_t i = PINPROMPT_PASSWORD_CAPACITY + 1; i < buffer.size(); ++i)
            QCOMPARE(buffer[i], char(0x5a));
    }

    void tipForm()
    {
        LCDTipsDialog tip;
        QCOMPARE(tip.objectName(), QString("LCDTipsDialog"));
        QCOMPARE(tip.size(), QSize(400, 300));
        QVERIFY(tip.windowTitle().isEmpty());
        auto *label = tip.findChild<QLabel *>("label");
        QVERIFY(label);
        QCOMPARE(label->geometry(), QRect(12, 11, 381, 281));
        QVERIFY(label->text().isEmpty());
        QVERIFY(!label->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(label->pixmap(Qt::ReturnByValue).size(), QSize(384, 261));
        QVERIFY(!label->hasScaledContents());
        auto *timer = tip.findChild<QTimer *>();
        QVERIFY(timer);
        QVERIFY(timer->isSingleShot());
        QVERIFY(!timer->isActive());
    }

    void tipClosedByUser_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::newRow("Escape") << Ending::EscapeKey;
        QTest::newRow("close button") << Ending::CloseButton;
    }

    // Closing rejects and hides the tip; it is not deleted.
    void tipClosedByUser()
    {
        QFETCH(Ending, ending);
        QPointer<LCDTipsDialog> tip = new LCDTipsDialog;
        tip->show();
        QVERIFY(QTest::qWaitForWindowExposed(tip));
        QVERIFY(endDialog(tip, ending));
        QVERIFY(!tip->isVisible());
        QCOMPARE(tip->result(), int(QDialog::Rejected));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(tip);
        delete tip;
    }

    // startTimer closes the shown tip after its interval; a second call before then starts
    // the wait anew, and the timer fires once. Coarse timers may fire up to 5% early, and
    // each reading of the clock is cut to whole milliseconds.
    void tipTimer()
    {
        const int interval = 800;
        LCDTipsDialog tip;
        QElapsedTimer clock;
        qint64 restartedAt = -1;
        qint64 closedAt = -1;
        int closes = 0;
        connect(&tip, &QDialog::finished, &tip, [&] {
            closedAt = clock.elapsed();
            ++closes;
        });
        tip.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tip));
        clock.start();
        tip.startTimer(interval);
        // Expires before the first wait does, however late the loop runs.
        QTimer::singleShot(interval / 2, &tip, [&] {
            restartedAt = clock.elapsed();
            tip.startTimer(interval);
        });
        QTRY_VERIFY_WITH_TIMEOUT(!tip.isVisible(), 20000);
        QVERIFY(restartedAt >= 0);
        QVERIFY2(closedAt - restartedAt >= interval * 95 / 100 - 1,
                 qPrintable(QString("closed %1 ms after the restart").arg(closedAt - restartedAt)));

        tip.show();
        QTest::qWait(interval + 200);
        QVERIFY(tip.isVisible());
        QCOMPARE(closes, 1);
    }
};

QTEST_MAIN(TestPinPromptDialogs)
#include "test_pinprompt_dialogs.moc"
