#include "logindialog.h"
#include "ui_logindialog.h"

#include <QByteArray>
#include <QLineEdit>
#include <QValidator>

#include <algorithm>
#include <cstring>

#include "login.h"

namespace {

// Takes only characters that are one Latin-1 byte each, so that the field holds exactly what
// GetPW hands to the caller: a character beyond Latin-1 would reach the token as "?", and a
// zero byte would end the password early. A typed, pasted or composed text that holds any
// other character is refused as a whole and the field keeps what it had.
class Latin1Validator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override
    {
        for (const QChar c : input) {
            if (c.unicode() == 0 || c.unicode() > 0xff)
                return Invalid;
        }
        return Acceptable;
    }
};

} // namespace

LoginDialog::LoginDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::LoginDialog)
{
    ui->setupUi(this);
    ui->pwLineEdit->setEchoMode(QLineEdit::Password);
    ui->pwLineEdit->setMaxLength(PINPROMPT_PASSWORD_CAPACITY);
    ui->pwLineEdit->setValidator(new Latin1Validator(ui->pwLineEdit));
    // Enter (or the keypad's Enter) in the field confirms the password, as Ok does; without a
    // default button the dialog would take Cancel, its first button, and drop the password.
    ui->okBtn->setDefault(true);
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
