#ifndef MSGTIPCATCHER_H
#define MSGTIPCATCHER_H

// Answers the modal message boxes that the code under test opens: records each box's
// text and presses its first button, so that the call that opened it returns.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

class MsgTipCatcher : public QObject
{
public:
    MsgTipCatcher()
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, this, [this]() { answer(); });
        timer.start();
    }

    QStringList texts;
    QStringList titles;

private:
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box->buttons().isEmpty())
            return;
        texts.append(box->text());
        titles.append(box->windowTitle());
        box->buttons().first()->click();
    }

    QTimer timer;
};

#endif // MSGTIPCATCHER_H
