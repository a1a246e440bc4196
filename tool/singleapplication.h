#ifndef SINGLEAPPLICATION_H
#define SINGLEAPPLICATION_H

#include <QApplication>
#include <QString>

class QLocalServer;
class QWidget;

// The program's application object. Only one instance answers to the program's file
// name: a later start finds it through a local socket of that name and reports itself.
class SingleApplication : public QApplication
{
    Q_OBJECT

public:
    SingleApplication(int &argc, char **argv);

    // True when another instance answered the probe at construction.
    bool isRunning();

private slots:
    void _newLocalConnection();

private:
    void _initLocalConnection();
    void _newLocalServer();
    void _activateWindow();

    bool running;
    QLocalServer *localServer;
    QString serverName;
    // Window brought forward when a later instance knocks; none is registered at start-up.
    QWidget *activationWindow;
};

#endif // SINGLEAPPLICATION_H
