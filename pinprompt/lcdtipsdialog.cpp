#include "lcdtipsdialog.h"
#include "ui_lcdtipsdialog.h"

#include <QImage>
#include <QPixmap>
#include <QTimer>

LCDTipsDialog::LCDTipsDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::LCDTipsDialog)
{
    ui->setupUi(this);
    ui->label->setPixmap(QPixmap::fromImage(QImage(":/images/MVChangepinSure1.gif")));

    timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &LCDTipsDialog::tipsTimeout);
}

LCDTipsDialog::~LCDTipsDialog()
{
    delete ui;
}

void LCDTipsDialog::startTimer(int ms)
{
    timer->start(ms);
}

void LCDTipsDialog::tipsTimeout()
{
    close();
}
