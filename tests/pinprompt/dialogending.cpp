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
    case Ending::CloseButton: {
        QCloseEvent event;
        QCoreApplication::sendEvent(dialog->windowHandle(), &event);
        break;
    }
    }
    return true;
}
