#ifndef DIALOGENDING_H
#define DIALOGENDING_H

#include <QMetaType>

class QWidget;

// The user's ways of ending one of the library's dialogs.
enum class Ending { OkButton, CancelButton, EscapeKey, CloseButton, EnterKey, KeypadEnterKey };
Q_DECLARE_METATYPE(Ending)

// Ends the dialog as the user would: a click on its "okBtn" or "CancelBtn", the Escape key
// at its focus widget, Enter or the keypad's Enter in its "pwLineEdit", or the close request
// that the window manager sends for the title bar's close button. GUI thread only. False when
// the dialog has no such button or field.
bool endDialog(QWidget *dialog, Ending how);

#endif
