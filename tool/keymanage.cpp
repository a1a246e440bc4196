#include "keymanage.h"
#include "ui_keymanage.h"

#include <QFont>
#include <QMetaType>
#include <QTreeWidgetItem>
#include <QVariant>

#include <cstring>

#include "skflibrary.h"
#include "utils.h"

namespace {

// A fixed-size character field of the device information: up to its first NUL and
// never past its end.
QByteArray fieldBytes(const char *field, size_t size)
{
    const void *nul = std::memchr(field, 0, size);
    const size_t length = nul ? static_cast<size_t>(static_cast<const char *>(nul) - field) : size;
    return QByteArray(field, static_cast<int>(length));
}

// A certificate item keeps its certificate: the DER bytes and whether it is the
// signature certificate, so that a click shows exactly that certificate's fields.
constexpr int kCertDerRole = Qt::UserRole;
constexpr int kCertSignRole = Qt::UserRole + 1;

} // namespace

KeyManage::KeyManage(QWidget *parent)
    : QWidget(parent), ui(new Ui::KeyManage), lib(nullptr), hDev(nullptr)
{
    qRegisterMetaType<QString>("const QString &");
    setAttribute(Qt::WA_DeleteOnClose);
    ui->setupUi(this);
    initStyleSheet();
    initConnect();
    initView();
}

KeyManage::~KeyManage()
{
    delete ui;
    if (lib)
        dlclose(lib);
}

void KeyManage::initStyleSheet()
{
    setStyleSheet(Utils::readfile(QStringLiteral(":/Qss/keymanage.css")));
}

void KeyManage::initConnect()
{
    connect(ui->pushButton_2, &QPushButton::clicked, this, &KeyManage::onChangePinSlot);
    connect(ui->pushButton_3, &QPushButton::clicked, this, &KeyManage::onClearInfoSlot);
    connect(ui->certTreeWidget, &QTreeWidget::itemClicked, this, &KeyManage::onCertShowSlot);
}

void KeyManage::initView()
{
    ui->certTreeWidget->setColumnCount(1);
    ui->certTreeWidget->setHeaderHidden(true);
    QFont font;
    font.setPixelSize(16);
    ui->certTreeWidget->setFont(font);
    font.setWeight(60);
    ui->certBrowser->setFont(font);

    // A handle held from an earlier call stays open: the library simply stays loaded.
    lib = SkfLibrary::bindForPage();
    if (!lib)
        return;
    certList.clear();
    loadKey();
}

void KeyManage::loadKey()
{
    if (devName.isEmpty()) {
        // Every present device is listed as if reported inserted, so that the next one is
        // taken when the one shown is removed.
        const QList<QString> present = Utils::EnmuDevList(lib);
        for (const QString &name : present) {
            if (!devList.contains(name))
                devList.append(name);
        }
        if (!present.isEmpty())
            devName = present.first();
    }
    if (devName.isEmpty())
        return;
    loadKeyBaseInfo(devName);
    loadKeyCertInfo(devName, certList);
}

void KeyManage::loadKeyBaseInfo(QString name)
{
    if (!hDev)
        hDev = Utils::OpenDev(lib, name);
    labelSetKeyBaseInfo(name, Utils::GetDevInfo(lib, hDev));
}

void KeyManage::labelSetKeyBaseInfo(QString name, Struct_DEVINFO info)
{
    ui->keyNameLabel->setText(name);
    ui->ketSerialLabel->setText(QString::fromUtf8(fieldBytes(info.SerialNumber, sizeof(info.SerialNumber))));
    const QByteArray label = fieldBytes(info.Label, sizeof(info.Label));
    ui->keyLabLabel->setText(Utils::convertCharToGBKStr(label.constData()));
    ui->keyFrimLabel->setText(QString::fromUtf8(fieldBytes(info.Manufacturer, sizeof(info.Manufacturer))));
}

void KeyManage::loadKeyCertInfo(QString name, QList<QString> &certList)
{
    if (!hDev)
        hDev = Utils::OpenDev(lib, name);
    if (!hDev)
        return;

    const QList<QString> apps = Utils::EnmuAppList(lib, hDev);
    for (const QString &app : apps) {
        ui->appComboBox->addItem(app);
        auto *appItem = new QTreeWidgetItem(ui->certTreeWidget, QStringList(Utils::text("应用名:") + app));

        void *hApp = Utils::OpenApplication(lib, hDev, app);
        if (!hApp)
            continue;
        const QList<QString> containers = Utils::EnmuContainer(lib, hApp);
        if (containers.isEmpty())
            continue;

        for (const QString &container : containers) {
            auto *containerItem = new QTreeWidgetItem(appItem, QStringList(Utils::text("容器名:") + container));
            void *hCon = Utils::OpenContainer(lib, hApp, container);
            if (!hCon)
                continue;
            for (const bool sign : {true, false}) {
                const QList<QString> exported = Utils::ExportCertificate(lib, hCon, sign);
                if (exported.size() != 2 || !exported.at(1).contains('#'))
                    continue;
                const QString &summary = exported.at(1);
                certList.append(container + "#" + summary);
                const QString serial = summary.split('#', Qt::KeepEmptyParts).at(1);
                auto *certItem = new QTreeWidgetItem(containerItem, QStringList(Utils::text("证书序号:") + serial));
                certItem->setData(0, kCertDerRole, QByteArray::fromBase64(exported.at(0).toLatin1()));
                certItem->setData(0, kCertSignRole, sign);
            }
            Utils::CloseContainer(lib, hCon);
        }
        Utils::CloseApplication(lib, hApp);
    }
}

void KeyManage::onCertShowSlot(QTreeWidgetItem *item, int column)
{
    ui->certBrowser->clear();
    if (!item)
        return;
    const QString itemText = item->text(column);
    if (!itemText.startsWith(Utils::text("证书序号"), Qt::CaseSensitive))
        return;
    // The item's own certificate, read afresh: no search of the certificate list, whose
    // entries cannot be told apart by a serial number (one may occur inside another entry)
    // nor split back into fields when a name holds "#".
    const QVariant der = item->data(0, kCertDerRole);
    if (!der.isValid())
        return;
    QByteArray bytes = der.toByteArray();
    const QStringList fields = Utils::CertFields(reinterpret_cast<BYTE *>(bytes.data()), ULONG(bytes.size()),
                                                 item->data(0, kCertSignRole).toBool());
    ui->certBrowser->append(Utils::text("版本号：") + fields.at(0));
    ui->certBrowser->append(Utils::text("序列号：") + fields.at(1));
    ui->certBrowser->append(Utils::text("颁发者：") + fields.at(2));
    ui->certBrowser->append(Utils::text("持有者：") + fields.at(3));
    ui->certBrowser->append(Utils::text("开始时间：") + fields.at(4));
    ui->certBrowser->append(Utils::text("结束时间：") + fields.at(5));
    ui->certBrowser->append(
        fields.at(6) == QLatin1String("0") ? Utils::text("证书属性：加密证书") : Utils::text("证书属性：签名证书"));
    ui->certBrowser->scrollToAnchor(Utils::text("版本号：") + fields.at(0));
}

void KeyManage::onChangePinSlot()
{
    const QString oldPin = ui->lineEdit->text();
    const QString newPin = ui->lineEdit_2->text();
    const QString confirmPin = ui->lineEdit_3->text();

    if (oldPin.isEmpty()) {
        Utils::showMsgTip(Utils::text("您未输入原PIN码！"));
        return;
    }
    if (newPin.isEmpty()) {
        Utils::showMsgTip(Utils::text("您未输入新PIN码！"));
        return;
    }
    if (confirmPin.isEmpty()) {
        Utils::showMsgTip(Utils::text("您未输入确认PIN码！"));
        return;
    }
    if (newPin != confirmPin) {
        Utils::showMsgTip(Utils::text("您输入的两次新PIN码不一致！"));
        return;
    }
    // The token takes PINs as Latin-1 bytes: any other character would reach it as "?".
    if (!Utils::isLatin1Text(oldPin) || !Utils::isLatin1Text(newPin)) {
        Utils::showMsgTip(Utils::pinCharsetTip());
        return;
    }
    // Nor a longer PIN than its buffer holds (the fields hold fewer characters): refused
    // here, before the old PIN is verified, so that the PIN wrappers never answer with a
    // refusal of their own, which the tips would show as a number of retries.
    if (!Utils::fitsPinLength(oldPin) || !Utils::fitsPinLength(newPin)) {
        Utils::showMsgTip(Utils::pinLengthTip());
        return;
    }
    changePin(oldPin, newPin);
}

void KeyManage::changePin(QString oldPin, QString newPin)
{
    if (oldPin.isEmpty() || newPin.isEmpty())
        return;
    if (!hDev)
        hDev = Utils::OpenDev(lib, devName);
    if (!lib || !hDev)
        return;
    // With both PIN functions present (and the PINs checked by the caller), a result of
    // the PIN wrappers other than 0 is the token's retry count: a function they miss
    // would give a code of their own, which is no number of retries.
    if (!SkfLibrary::provides(lib, SKF_FUNCTION(SKF_OpenApplication))
        || !SkfLibrary::provides(lib, SKF_FUNCTION(SKF_VerifyPIN))
        || !SkfLibrary::provides(lib, SKF_FUNCTION(SKF_ChangePIN)))
        return;

    // The handle opened here stays open.
    void *hApp = Utils::OpenApplication(lib, hDev, ui->appComboBox->currentText());
    if (!hApp)
        return;

    const ULONG verified = Utils::VerifyPin(lib, hApp, oldPin);
    if (verified != 0) {
        Utils::showMsgTip(Utils::pinRefusedTip(verified));
        return;
    }

    const ULONG changed = Utils::ChangePin(lib, hApp, oldPin, newPin);
    if (changed != 0)
        Utils::showMsgTip(
            Utils::text("PIN码修改失败,剩余") + Utils::retriesText(changed) + Utils::text("次机会，请稍候重试！"));
    else
        Utils::showMsgTip(Utils::text("PIN码修改成功,请您牢记新PIN码！"));
}

void KeyManage::onClearInfoSlot()
{
    ui->lineEdit->clear();
    ui->lineEdit_2->clear();
    ui->lineEdit_3->clear();
}

void KeyManage::ukeyInsertSlot(const QString &name)
{
    if (!devList.contains(name))
        devList.append(name);
    if (devName.isEmpty()) {
        devName = name;
        loadKey();
    }
}

void KeyManage::ukeyPullOutSlot(const QString &name)
{
    devList.removeOne(name);
    if (name != devName)
        return;
    // The handle of a removed device is dropped, not closed.
    hDev = nullptr;
    cleanAllWigdetInfo();
    if (!devList.isEmpty()) {
        devName = devList.first();
        loadKey();
    }
}

void KeyManage::cleanAllWigdetInfo()
{
    ui->appComboBox->clear();
    ui->certBrowser->clear();
    ui->certTreeWidget->clear();
    ui->lineEdit->clear();
    ui->lineEdit_2->clear();
    ui->lineEdit_3->clear();
    ui->ketSerialLabel->clear();
    ui->keyLabLabel->clear();
    ui->keyFrimLabel->clear();
    ui->keyNameLabel->clear();
    certList.clear();
    devName.clear();
}

void KeyManage::prttt()
{
    Utils::showMsgTip(QStringLiteral("sing YES"));
}
