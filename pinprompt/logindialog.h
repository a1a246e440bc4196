#ifndef LOGINDIALOG_H
#define LOGINDIALOG_H

#include <QDialog>

#include "pinprompt_global.h"

namespace Ui {
class LoginDialog;
}

// The password entry dialog that GetPW runs modally.
class PINPROMPT_EXPORT LoginDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LoginDialog(QWidget *parent = nullptr);
    ~LoginDialog() override;

    // Copies the typed password as Latin-1 bytes and one zero byte into dst, which holds at
    // least PINPROMPT_PASSWORD_CAPACITY + 1 bytes; never more than that is written. The field
    // takes only Latin-1 characters (no zero), at most PINPROMPT_PASSWORD_CAPACITY of them, so
    // each character the user typed is one byte of the copy.
    void GetPW(char *dst);

private slots:
    void on_okBtn_clicked();
    void on_CancelBtn_clicked();

private:
    Ui::LoginDialog *ui;
};

#endif
