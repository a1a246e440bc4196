#include "format.h"
#include "ui_format.h"

#include "skflibrary.h"
#include "utils.h"

namespace {

// What the token takes for the new application; the first application is deleted before
// the new one is created, so everything it would refuse is refused before that.
// The application name travels as UTF-8 bytes, 1 to 63 of them.
constexpr int kMaxNameBytes = 63;
// Retry counts from 1 to 255.
constexpr int kMaxRetries = 255;

// A PIN travels as Latin-1 bytes in a 64-byte buffer with a closing NUL.
bool pinFits(const QString &pin)
{
    return !pin.isEmpty() && Utils::isTokenPin(pin);
}

bool nameFits(const QString &name)
{
    const int bytes = name.toUtf8().size();
    return bytes > 0 && bytes <= kMaxNameBytes;
}

// A retry count is a decimal number in digits only, so that the number the token
// receives is the one the user typed.
bool isRetryCount(const QString &count)
{
    if (count.isEmpty())
        return false;
    for (const QChar c : count) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const int value = count.toInt(&ok, 10);
    return ok && value >= 1 && value <= kMaxRetries;
}

} // namespace

Format::Format(QWidget *parent)
    : QWidget(parent), ui(new Ui::Format), lib(nullptr), hDev(nullptr), hApp(nullptr)
{
    ui->setupUi(this);
    initStyleSheet();
    initConnect();
    initView();
}

Format::~Format()
{
    delete ui;
}

void Format::initStyleSheet()
{
    setStyleSheet(Utils::readfile(QStringLiteral(":/Qss/settings.css")));
}

void Format::initConnect()
{
    connect(ui->pushButton, &QPushButton::clicked, this, &Format::onFormatSlot);
}

void Format::initView()
{
    lib = SkfLibrary::bindForPage();
    if (!lib)
        return;
    loadKey();
}

void Format::loadKey()
{
    if (devName.isEmpty())
        devName = SkfLibrary::firstPresentDevice(lib);
    if (!hDev)
        hDev = Utils::OpenDev(lib, devName);
}

void Format::RefreshPage()
{
    emit Refresh();
}

void Format::onFormatSlot()
{
    const QString label = ui->lineEdit_9->text();
    const QString appName = ui->lineEdit->text();
    const QString adminPin = ui->lineEdit_2->text();
    const QString newAdminPin = ui->lineEdit_3->text();
    const QString newAdminPinAgain = ui->lineEdit_4->text();
    const QString newUserPin = ui->lineEdit_5->text();
    const QString newUserPinAgain = ui->lineEdit_6->text();
    const QString adminRetries = ui->lineEdit_7->text();
    const QString userRetries = ui->lineEdit_8->text();

    const struct {
        const QString &value;
        const char *message;
    } required[] = {
        {label, "您未输入设备名字！"},
        {appName, "您未输入APP名！"},
        {adminPin, "您未输入原管理员PIN码！"},
        {newAdminPin, "您为输入新管理员PIN码！"},
        {newAdminPinAgain, "您未输入确定管理员PIN码！"},
        {newUserPin, "您未输入新用户PIN码！"},
        {newUserPinAgain, "您未输入确定用户PIN码！"},
        {adminRetries, "您未输入管理员重复次数！"},
        {userRetries, "您未输入用户重复次数！"},
    };
    for (const auto &field : required) {
        if (field.value.isEmpty()) {
            Utils::showMsgTip(Utils::text(field.message));
            return;
        }
    }
    if (newAdminPin != newAdminPinAgain) {
        Utils::showMsgTip(Utils::text("您输入的两次新管理员PIN码不一致！"));
        return;
    }
    if (newUserPin != newUserPinAgain) {
        Utils::showMsgTip(Utils::text("您输入的两次新用户PIN码不一致！"));
        return;
    }
    // The token takes PINs as Latin-1 bytes: any other character would reach it as "?".
    // Refused before the first token call (the repetitions equal the new PINs by now).
    if (!Utils::isLatin1Text(adminPin) || !Utils::isLatin1Text(newAdminPin) || !Utils::isLatin1Text(newUserPin)) {
        Utils::showMsgTip(Utils::pinCharsetTip());
        return;
    }
    // Nor a current administrator PIN longer than its buffer holds: refused before the
    // verification, so that the PIN wrapper never answers with a refusal of its own, which
    // the tip would show as a number of retries. The new PINs are checked with the rest of
    // the new application before anything changes (FormatDev).
    if (!Utils::fitsPinLength(adminPin)) {
        Utils::showMsgTip(Utils::pinLengthTip());
        return;
    }
    if (VerifyAdminPin(adminPin) != 0) {
        Utils::showMsgTip(Utils::text("您管理员PIN码错误！"));
        return;
    }
    if (FormatDev(label, appName, adminPin, newAdminPin, newUserPin, adminRetries, userRetries) != 0) {
        Utils::showMsgTip(Utils::text("格式化设备失败！"));
        return;
    }
    Utils::showMsgTip(Utils::text("格式化设备成功！"));
    RefreshPage();
}

int Format::VerifyAdminPin(QString adminPin)
{
    if (adminPin.isEmpty())
        return 1;
    if (!hDev)
        hDev = Utils::OpenDev(lib, devName);
    if (!lib || !hDev)
        return 1;
    // With the PIN function present (and the PIN checked by the request), a result of the
    // PIN wrapper other than 0 is the token's retry count: a missing function would give
    // a code of the wrapper's own, which is no number of retries.
    if (!SkfLibrary::provides(lib, SKF_FUNCTION(SKF_OpenApplication))
        || !SkfLibrary::provides(lib, SKF_FUNCTION(SKF_EnumApplication))
        || !SkfLibrary::provides(lib, SKF_FUNCTION(SKF_VerifyPIN)))
        return 1;
    const QList<QString> apps = Utils::EnmuAppList(lib, hDev);
    if (apps.isEmpty())
        return 1;
    hApp = Utils::OpenApplication(lib, hDev, apps.first());
    if (!hApp)
        return 1;
    const ULONG result = Utils::VerifyAdminPin(lib, hApp, adminPin);
    if (result != 0) {
        Utils::showMsgTip(Utils::pinRefusedTip(result));
        return 1;
    }
    return 0;
}

qint64 Format::FormatDev(QString label, QString appName, QString adminPin, QString newAdminPin,
                         QString newUserPin, QString adminRetries, QString userRetries)
{
    if (label.isEmpty() || appName.isEmpty() || adminPin.isEmpty() || newAdminPin.isEmpty()
        || newUserPin.isEmpty() || adminRetries.isEmpty() || userRetries.isEmpty())
        return 1;
    // Refused here, before anything on the token changes: a label that the token cannot
    // keep as GBK, and a new application that the creation could not accept.
    if (!Utils::isTokenLabel(label) || !nameFits(appName) || !pinFits(newAdminPin) || !pinFits(newUserPin)
        || !isRetryCount(adminRetries) || !isRetryCount(userRetries))
        return 1;
    if (!lib || !SkfLibrary::provides(lib, SKF_FUNCTION(SKF_SetLabel)))
        return 1;
    if (Utils::SetLabel(lib, hDev, label) != 0)
        return 1;
    if (!SkfLibrary::provides(lib, SKF_FUNCTION(SKF_EnumApplication)))
        return 1;
    const QList<QString> apps = Utils::EnmuAppList(lib, hDev);
    if (apps.isEmpty())
        return 1;
    // The token refuses a name that an application it keeps already holds: keep the
    // first application rather than delete it for a creation that cannot succeed.
    if (apps.indexOf(appName, 1) >= 0)
        return 1;
    Utils::DeleteApplication(lib, hDev, apps.first());
    hApp = Utils::CreateApplication(lib, hDev, appName, newAdminPin, adminRetries, newUserPin, userRetries);
    return hApp ? 0 : 1;
}
