#include "skflibrary.h"

#include <QCoreApplication>
#include <QDebug>

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
    void *lib = dlopen(file.toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
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
