#include "logindialog.h"
#include "ui_logindialog.h"

#include <QByteArray>
#include <QLineEdit>

#include <algorithm>
#include <cstring>

#include "login.h"

LoginDialog::LoginDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::LoginDialog)
{
    ui->setupUi(this);
    ui->pwLineEdit->setEchoMode(QLineEdit::Password);
    ui->pwLineEdit->setMaxLength(PINPROMPT_PASSWORD_CAPACITY);
    setWindowTitle("Input PassWord");
}

LoginDialog::~LoginDialog()
{
    delete ui;
}

void LoginDialog::GetPW(char *dst)
{
    if (!dst)
        return;
    QByteArray bytes = ui->pwLineEdit->text().toLatin1();
    const int n = std::min(bytes.size(), int(PINPROMPT_PASSWORD_CAPACITY));
    std::memcpy(dst, bytes.constData(), size_t(n));
    dst[n] = '\0';
    // The copy in the caller's buffer is the only one that should stay behind.
    std::fill(bytes.begin(), bytes.end(), '\0');
}

void LoginDialog::on_okBtn_clicked()
{
    accept();
}

void LoginDialog::on_CancelBtn_clicked()
{
    close();
}
