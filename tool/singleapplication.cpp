#include "singleapplication.h"

#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

#include <cstdio>

namespace {
const int kProbeTimeoutMs = 500;
const int kConnectionReadTimeoutMs = 1000;
}

SingleApplication::SingleApplication(int &argc, char **argv)
    : QApplication(argc, argv),
      running(false),
      localServer(nullptr),
      serverName(QFileInfo(QCoreApplication::applicationFilePath()).fileName()),
      activationWindow(nullptr)
{
    _initLocalConnection();
}

bool SingleApplication::isRunning()
{
    return running;
}

void SingleApplication::_initLocalConnection()
{
    running = false;

    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    if (socket.waitForConnected(kProbeTimeoutMs)) {
        std::fprintf(stderr, "%s already running.\n", serverName.toLocal8Bit().constData());
        std::fflush(stderr);
        running = true;
        return;
    }
    _newLocalServer();
}

void SingleApplication::_newLocalServer()
{
    localServer = new QLocalServer(this);
    connect(localServer, SIGNAL(newConnection()), this, SLOT(_newLocalConnection()));
    if (!localServer->listen(serverName)) {
        // A name left behind by an instance that did not end cleanly, or one that did
        // not answer in time: take it over.
        if (localServer->serverError() == QAbstractSocket::AddressInUseError) {
            QLocalServer::removeServer(serverName);
            localServer->listen(serverName);
        }
    }
}

void SingleApplication::_newLocalConnection()
{
    QLocalSocket *socket = localServer->nextPendingConnection();
    if (!socket)
        return;
    socket->waitForReadyRead(kConnectionReadTimeoutMs);
    delete socket;
    _activateWindow();
}

void SingleApplication::_activateWindow()
{
    if (!activationWindow)
        return;
    activationWindow->show();
    activationWindow->raise();
    activationWindow->activateWindow();
}
