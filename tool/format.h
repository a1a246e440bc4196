#ifndef FORMAT_H
#define FORMAT_H

#include <QString>
#include <QWidget>

namespace Ui {
class Format;
}

// The format page: verifies the administrator PIN on the token's first application,
// relabels the device and replaces that application by a new one.
class Format : public QWidget
{
    Q_OBJECT

public:
    explicit Format(QWidget *parent = nullptr);
    ~Format() override;

signals:
    void Refresh();

public slots:
    void onFormatSlot();

private:
    void initStyleSheet();
    void initConnect();
    void initView();
    void loadKey();
    void RefreshPage();
    int VerifyAdminPin(QString adminPin);
    qint64 FormatDev(QString label, QString appName, QString adminPin, QString newAdminPin,
                     QString newUserPin, QString adminRetries, QString userRetries);

    Ui::Format *ui;
    void *lib;
    void *hDev;
    QString devName;
    void *hApp;
};

#endif // FORMAT_H
