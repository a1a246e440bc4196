#ifndef LCDTIPSDIALOG_H
#define LCDTIPSDIALOG_H

#include <QDialog>

#include "pinprompt_global.h"

class QTimer;

namespace Ui {
class LCDTipsDialog;
}

// The tip that asks the user to confirm the operation on the token's own keys. A single-shot
// timer, started with startTimer, closes it.
class PINPROMPT_EXPORT LCDTipsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LCDTipsDialog(QWidget *parent = nullptr);
    ~LCDTipsDialog() override;

    // Closes the tip after ms milliseconds; a running wait starts anew.
    void startTimer(int ms);

public slots:
    void tipsTimeout();

private:
    Ui::LCDTipsDialog *ui;
    QTimer *timer;
};

#endif
