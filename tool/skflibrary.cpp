#include "skflibrary.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>

#include "utils.h"

namespace SkfLibrary {

QString path()
{
    return QCoreApplication::applicationDirPath() + "/../" + "mvukeytool" + "/" + "libSKFAPI.so";
}

QByteArray takeLoaderError()
{
    const char *err = dlerror();
    const QByteArray text(err ? err : "");
    dlerror();
    return text;
}

void *bind(const QString &file, const char *failureText, const char *afterError)
{
    // The path in the file system's encoding of names: the program may lie in a folder
    // whose name is not Latin-1 (a Chinese folder, a user's home folder).
    void *lib = dlopen(QFile::encodeName(file).constData(), RTLD_LAZY | RTLD_GLOBAL);
    if (!lib) {
        QDebug line = qDebug();
        line << failureText << takeLoaderError().constData();
        if (afterError)
            line << afterError;
    }
    return lib;
}

void *bindForPage()
{
    return bind(path(), "SKF Library load fail , errMsg:");
}

QString firstPresentDevice(void *lib)
{
    const QList<QString> devices = Utils::EnmuDevList(lib);
    return devices.isEmpty() ? QString() : devices.first();
}

} // namespace SkfLibrary
