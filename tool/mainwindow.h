#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QMenu;
class QMouseEvent;
class QPaintEvent;
class KeyManage;
class Format;
class MainWorker;

QT_BEGIN_NAMESPACE
namespace Ui { class MainWindow; }
QT_END_NAMESPACE

// The program's only top-level window: frameless and translucent, it paints its own
// frame and title picture, moves when dragged by its top strip, holds the pages in its
// page area and owns the tray icon with its menu.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

signals:
    void ukeyInsertSignal(QString name);
    void ukeyPullOutSignal(QString name);

public slots:
    void onOpenClick();
    void onMinClick();
    void onCloseClick();
    void onExitClick();
    void slot_iconIsActived(QSystemTrayIcon::ActivationReason reason);
    void onMirvaleClick();
    void onKeyManageClick();
    void onSettingClick();
    void startCheck();
    void ukeyStateSlot(int result, const QString &name, int event);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void initStyleSheet();
    void initSystemTray();
    void createActions();
    void createMemu();
    void initConnect();
    void initView();
    void loadView(int page);
    void initThread();

    Ui::MainWindow *ui;
    QPixmap titlePixmap;
    bool dragging;
    QPoint dragStartPos;
    QPoint windowStartPos;

    // Page area and device events.
    int currentPage;
    KeyManage *keyManage;
    Format *format;
    bool keyPageAdded;
    bool formatPageAdded;

    QAction *minimizeAction;
    QAction *openAction;
    QAction *closeAction;
    QAction *exitAction;
    QSystemTrayIcon *trayIcon;
    QMenu *trayMenu;

    MainWorker *worker;
};

#endif // MAINWINDOW_H
