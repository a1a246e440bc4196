#include "skflibrary.h"

#include <QCoreApplication>
#include <QDebug>

#include <dlfcn.h>

#include "utils.h"

namespace SkfLibrary {

QString path()
{
    return QCoreApplication::applicationDirPath() + "/../" + "mvukeytool" + "/" + "libSKFAPI.so";
}

void *bindForPage()
{
    void *lib = dlopen(path().toLatin1().constData(), RTLD_LAZY | RTLD_GLOBAL);
    if (!lib) {
        const char *err = dlerror();
        qDebug() << "SKF Library load fail , errMsg:" << (err ? err : "");
    }
    return lib;
}

QString firstPresentDevice(void *lib)
{
    const QList<QString> devices = Utils::EnmuDevList(lib);
    return devices.isEmpty() ? QString() : devices.first();
}

} // namespace SkfLibrary
