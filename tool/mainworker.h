#ifndef MAINWORKER_H
#define MAINWORKER_H

#include <QString>
#include <QThread>

#include "skfapi.h"

// Waits in the token library for insertions and removals and reports each one with
// ukeyStateSignal(result, device name, event). The thread binds the library itself.
class MainWorker : public QThread
{
    Q_OBJECT

public:
    explicit MainWorker(QObject *parent = nullptr);
    ~MainWorker() override;

    // Set by the window before start(); read only by the thread afterwards.
    void setSkfLibName(const QString &path);

    // Pause after an attempt that failed at once (no library, no wait function, a
    // failed wait), so that such attempts are never repeated back to back.
    static constexpr int kRetryPauseMs = 1000;

signals:
    void ukeyStateSignal(int result, QString name, int event);

protected:
    void run() override;

private:
    ULONG startWaitLisente();
    void pauseAfterFailure();

    QString skfLibName;
    QString eventDevName;
    int eventCode;
};

#endif // MAINWORKER_H
