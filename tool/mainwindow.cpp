#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "format.h"
#include "keymanage.h"
#include "mainworker.h"
#include "skflibrary.h"
#include "utils.h"

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSettings>
#include <QThread>

namespace {
// Height of the top strip that carries the title picture and drags the window.
const int kTitleHeight = 130;
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      dragging(false),
      currentPage(0),
      keyManage(nullptr),
      format(nullptr),
      keyPageAdded(false),
      formatPageAdded(false),
      minimizeAction(nullptr),
      openAction(nullptr),
      closeAction(nullptr),
      exitAction(nullptr),
      trayIcon(nullptr),
      trayMenu(nullptr),
      worker(nullptr)
{
    Q_INIT_RESOURCE(MirvaleClient);

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        QMessageBox::critical(nullptr, QObject::tr("Systray"),
                              QObject::tr("I couldn't detect any system tray on this system."));
    }

    setWindowIcon(QIcon(QStringLiteral(":/Resources/mirvale.png")));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground);
    titlePixmap.load(QStringLiteral(":/Resources/title.png"));

    ui->setupUi(this);
    ui->minBT->setVisible(true);

    initStyleSheet();
    initSystemTray();
    initConnect();
    initView();

    initThread();
}

MainWindow::~MainWindow()
{
    qDebug() << "Enter ~MainWindow method";
    delete ui;
    // The device-event thread object releases itself once its thread has ended.
    delete keyManage;
    delete format;
}

void MainWindow::initStyleSheet()
{
    setStyleSheet(Utils::readfile(QStringLiteral(":/Qss/main.css")));
}

void MainWindow::initSystemTray()
{
    createActions();
    createMemu();
    trayIcon->show();
    openAction->setEnabled(false);
    connect(trayIcon, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
            SLOT(slot_iconIsActived(QSystemTrayIcon::ActivationReason)));
}

void MainWindow::createActions()
{
    minimizeAction = new QAction(QIcon(QStringLiteral(":/Resources/min.png")), tr("最小化"), this);
    connect(minimizeAction, SIGNAL(triggered(bool)), this, SLOT(onMinClick()));

    openAction = new QAction(QIcon(QStringLiteral(":/Resources/open.png")), tr("打开应用"), this);
    connect(openAction, SIGNAL(triggered(bool)), this, SLOT(onOpenClick()));

    closeAction = new QAction(QIcon(QStringLiteral(":/Resources/close.png")), tr("关闭应用"), this);
    connect(closeAction, SIGNAL(triggered(bool)), this, SLOT(onCloseClick()));

    exitAction = new QAction(QIcon(QStringLiteral(":/Resources/exit.png")), tr("退出应用"), this);
    connect(exitAction, SIGNAL(triggered(bool)), this, SLOT(onExitClick()));
}

void MainWindow::createMemu()
{
    trayMenu = new QMenu(this);
    trayMenu->setTitle(Utils::convertCharToUTF8Str("Zavrin管理工具"));
    trayMenu->addAction(openAction);
    trayMenu->addAction(closeAction);
    trayMenu->addSeparator();
    trayMenu->addAction(exitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(QIcon(QStringLiteral(":/Resources/tray_logo.png")));
    trayIcon->setToolTip(Utils::convertCharToUTF8Str("Zavrin管理工具"));
    trayIcon->setContextMenu(trayMenu);
}

void MainWindow::initConnect()
{
    connect(ui->minBT, SIGNAL(clicked(bool)), this, SLOT(onMinClick()));
    connect(ui->closeBT, SIGNAL(clicked(bool)), this, SLOT(onCloseClick()));
}

void MainWindow::initView()
{
    QSettings settings(QCoreApplication::applicationDirPath() + QStringLiteral("/Option.ini"),
                       QSettings::IniFormat);
    const QString version = settings.value(QStringLiteral("MV_Option/versions")).toString();
    ui->versionLabel->setText(Utils::convertCharToUTF8Str("版本：")
                              + QString::fromUtf8(version.toLocal8Bit()));
    ui->versionLabel->setContentsMargins(0, 0, 10, 0);

    ui->copyrightLabel->setText(
        Utils::convertCharToUTF8Str("Copyright © 2024 Mirvale 信息安全技术有限公司  版权所有"));
    ui->copyrightLabel->setContentsMargins(10, 0, 0, 0);

    loadView(2);
}

void MainWindow::onMinClick()
{
    qDebug() << "点击最小化按钮";
    showMinimized();
    minimizeAction->setEnabled(false);
    closeAction->setEnabled(false);
    openAction->setEnabled(true);
}

void MainWindow::onCloseClick()
{
    qDebug() << "点击关闭按钮";
    hide();
    minimizeAction->setEnabled(false);
    closeAction->setEnabled(false);
    openAction->setEnabled(true);
}

void MainWindow::onOpenClick()
{
    qDebug() << "点击打开按钮";
    showNormal();
    minimizeAction->setEnabled(true);
    closeAction->setEnabled(true);
    openAction->setEnabled(false);
}

void MainWindow::slot_iconIsActived(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        showNormal();
        break;
    default:
        break;
    }
}

void MainWindow::onExitClick()
{
    qDebug() << "点击退出按钮";
    // The wait in the token library cannot be cancelled: the thread stops after its
    // current wait, or ends with the process. Its object is released by its own
    // finished() connection, never while the thread runs.
    if (worker && worker->isRunning()) {
        qDebug() << "线程退出并销毁";
        worker->requestInterruption();
        worker->quit();
    }
    QCoreApplication::exit(0);
}

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    QRect strip = rect();
    strip.setBottom(strip.top() + kTitleHeight);
    if (event->button() == Qt::LeftButton && strip.contains(event->pos())) {
        dragging = true;
        dragStartPos = event->globalPos();
        windowStartPos = frameGeometry().topLeft();
    }
    QMainWindow::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    if ((event->buttons() & Qt::LeftButton) && dragging)
        move(windowStartPos + (event->globalPos() - dragStartPos));
    QMainWindow::mouseMoveEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event)
{
    dragging = false;
    QMainWindow::mouseReleaseEvent(event);
}

void MainWindow::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    const QRect frame = rect().adjusted(1, 1, -1, -1);
    painter.setPen(QColor(102, 102, 102));
    painter.setBrush(QBrush(QColor(248, 248, 248), Qt::SolidPattern));
    // Integer roundness, as the frame has always been drawn.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    painter.drawRoundRect(frame, 1, 1);
#pragma GCC diagnostic pop

    QRect titleRect = frame;
    titleRect.setBottom(frame.top() + kTitleHeight);

    QPainterPath clip;
    clip.addRoundedRect(QRectF(frame.adjusted(1, 1, 0, -1)), 1.0, 1.0, Qt::AbsoluteSize);
    painter.setClipPath(clip, Qt::ReplaceClip);
    painter.drawPixmap(titleRect, titlePixmap);
}

void MainWindow::initThread()
{
    qDebug() << "MainWindow Thread ID: " << QThread::currentThreadId();
    worker = new MainWorker(nullptr);
    const QString skfLibPath = SkfLibrary::path();
    qDebug() << "Get SKFLibrary Path: " << skfLibPath;
    worker->setSkfLibName(skfLibPath);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    // The object deletes itself once its thread has ended; forget it then.
    connect(worker, &QObject::destroyed, this, [this]() { worker = nullptr; });
    connect(worker, &MainWorker::ukeyStateSignal, this, &MainWindow::ukeyStateSlot, Qt::QueuedConnection);
    worker->start(QThread::LowPriority);
}

void MainWindow::ukeyStateSlot(int result, const QString &name, int event)
{
    Q_UNUSED(result);
    QString message;
    if (event == SKF_DEV_EVENT_INSERTED) {
        message = name + Utils::convertCharToUTF8Str(" UKey插入");
        emit ukeyInsertSignal(name);
    } else if (event == SKF_DEV_EVENT_REMOVED) {
        message = name + Utils::convertCharToUTF8Str(" UKey拔出");
        emit ukeyPullOutSignal(name);
    } else {
        return;
    }
    trayIcon->showMessage(Utils::convertCharToUTF8Str("温馨提示："), message, QSystemTrayIcon::Information, 1000);
}

void MainWindow::onMirvaleClick()
{
    qDebug() << "点击了签章按钮";
    currentPage = 1;
    loadView(currentPage);
}

void MainWindow::onKeyManageClick()
{
    qDebug() << "点击了Key管理按钮";
    currentPage = 2;
    loadView(currentPage);
}

void MainWindow::onSettingClick()
{
    qDebug() << "点击了系统配置按钮";
    currentPage = 3;
    loadView(currentPage);
}

void MainWindow::startCheck()
{
    qDebug() << "启动检测";
    currentPage = 4;
    loadView(currentPage);
}

// Pages are created and wired on their first request and afterwards only shown or
// hidden.
void MainWindow::loadView(int page)
{
    if (page == 2) {
        if (!keyPageAdded) {
            if (!keyManage)
                keyManage = new KeyManage(nullptr);
            ui->contentWidget->addWidget(keyManage);
            connect(this, &MainWindow::ukeyInsertSignal, keyManage, &KeyManage::ukeyInsertSlot);
            connect(this, &MainWindow::ukeyPullOutSignal, keyManage, &KeyManage::ukeyPullOutSlot);
            keyPageAdded = true;
        }
        keyManage->show();
        if (format)
            format->hide();
    } else if (page == 3) {
        if (!formatPageAdded) {
            if (!format)
                format = new Format(nullptr);
            ui->contentWidget->addWidget(format);
            // A successful format clears the key management page, then loads it again.
            if (keyManage) {
                connect(format, &Format::Refresh, keyManage, &KeyManage::cleanAllWigdetInfo);
                connect(format, &Format::Refresh, keyManage, &KeyManage::initView);
            }
            formatPageAdded = true;
        }
        if (keyManage)
            keyManage->hide();
        format->show();
    }
}
