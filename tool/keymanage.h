#ifndef KEYMANAGE_H
#define KEYMANAGE_H

#include <QList>
#include <QString>
#include <QWidget>

#include "skfapi.h"

class QTreeWidgetItem;
namespace Ui {
class KeyManage;
}

// The key management page: device information, the application / container /
// certificate tree, the fields of a clicked certificate and the user PIN change.
// Follows insertions and removals as the main window reports them.
class KeyManage : public QWidget
{
    Q_OBJECT

public:
    explicit KeyManage(QWidget *parent = nullptr);
    ~KeyManage() override;

public slots:
    void onCertShowSlot(QTreeWidgetItem *item, int column);
    void onChangePinSlot();
    void onClearInfoSlot();
    void ukeyInsertSlot(const QString &name);
    void ukeyPullOutSlot(const QString &name);
    void prttt();
    void cleanAllWigdetInfo();
    void initView();

private:
    void initConnect();
    void initStyleSheet();
    void loadKey();
    void loadKeyBaseInfo(QString name);
    void labelSetKeyBaseInfo(QString name, Struct_DEVINFO info);
    void loadKeyCertInfo(QString name, QList<QString> &certList);
    void changePin(QString oldPin, QString newPin);

    Ui::KeyManage *ui;
    void *lib;
    void *hDev;
    // One entry per exported certificate of the last load: container name, "#",
    // and the seven-field certificate summary.
    QList<QString> certList;
    QString devName;
    // Devices reported as inserted, or found present when a load enumerates them, and not
    // yet reported as removed, in that order, without repeats.
    QList<QString> devList;
};

#endif // KEYMANAGE_H
