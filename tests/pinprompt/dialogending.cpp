#include "dialogending.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <QWindow>

bool endDialog(QWidget *dialog, Ending how)
{
    switch (how) {
    case Ending::OkButton:
    case Ending::CancelButton: {
        auto *button = dialog->findChild<QPushButton *>(how == Ending::OkButton ? "okBtn" : "CancelBtn");
        if (!button)
            return false;
        QTest::mouseClick(button, Qt::LeftButton);
        break;
    }
    case Ending::EscapeKey:
        QTest::keyClick(dialog->focusWidget() ? dialog->focusWidget() : dialog, Qt::Key_Escape);
        break;
    case Ending::EnterKey:
    case Ending::KeypadEnterKey: {
        // In the password field, where the user has just typed.
        QWidget *field = dialog->findChild<QWidget *>("pwLineEdit");
        if (!field)
            return false;
        if (how == Ending::EnterKey)
            QTest::keyClick(field, Qt::Key_Return);
        else
            QTest::keyClick(field, Qt::Key_Enter, Qt::KeypadModifier);
        break;
    }
    case Ending::CloseButton: {
        QCloseEvent event;
        QCoreApplication::sendEvent(dialog->windowHandle(), &event);
        break;
    }
    }
    return true;
}
