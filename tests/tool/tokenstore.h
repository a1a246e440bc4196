#ifndef TOKENSTORE_H
#define TOKENSTORE_H

// A private token store for one test: the stand-in token library and the mvtoken tool
// both find it through MVUKEY_STORE.
#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

class TokenStore
{
public:
    TokenStore()
    {
        qputenv("MVUKEY_STORE", dir.path().toLocal8Bit());
    }

    QString path() const { return dir.path(); }

    // The stand-in token library where the pages bind it: beside the test binary, which
    // is built into the program's directory.
    static QString libraryPath()
    {
        return QCoreApplication::applicationDirPath() + "/../mvukeytool/libSKFAPI.so";
    }

    // Runs mvtoken; returns its standard output, or a null text when it failed.
    static QString mvtoken(const QStringList &args)
    {
        QProcess p;
        p.start(QString::fromLocal8Bit(qgetenv("MV_BIN_DIR")) + "/mvtoken", args);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            qWarning() << "mvtoken" << args << "failed:" << p.readAllStandardError();
            return QString();
        }
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    // A present device with the given label, serial number and manufacturer.
    static bool addDevice(const QString &name, const QString &label = QStringLiteral("DemoLabel"),
                          const QString &serial = QStringLiteral("SN-0001"))
    {
        return !mvtoken({"init-device", name, "--label", label, "--serial", serial, "--manufacturer", "Mirvale"}).isNull()
            && !mvtoken({"insert", name}).isNull();
    }

    static bool addApp(const QString &dev, const QString &app, const QString &adminPin, const QString &userPin,
                       int adminRetries = 10, int userRetries = 10)
    {
        return !mvtoken({"create-app", dev, app, "--admin-pin", adminPin, "--user-pin", userPin, "--admin-retries",
                         QString::number(adminRetries), "--user-retries", QString::number(userRetries)})
                    .isNull();
    }

    // A container with an SM2 key pair and the certificates asked for.
    static bool addContainer(const QString &dev, const QString &app, const QString &con, bool signCert, bool encCert,
                             const QString &subject = QStringLiteral("/C=CN/O=Mirvale/CN=User One"))
    {
        if (mvtoken({"create-container", dev, app, con, "--key", "sm2"}).isNull())
            return false;
        if (signCert && mvtoken({"issue-cert", dev, app, con, "--sign", "--subject", subject}).isNull())
            return false;
        if (encCert && mvtoken({"issue-cert", dev, app, con, "--enc", "--subject", subject}).isNull())
            return false;
        return true;
    }

    // Imports a DER certificate into an existing container.
    static bool importCert(const QString &dev, const QString &app, const QString &con, bool sign,
                           const QByteArray &der)
    {
        QTemporaryFile file;
        if (!file.open() || file.write(der) != der.size() || !file.flush())
            return false;
        return !mvtoken({"import-cert", dev, app, con, sign ? "--sign" : "--enc", file.fileName()}).isNull();
    }

private:
    QTemporaryDir dir;
};

#endif // TOKENSTORE_H
