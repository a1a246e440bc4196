#include "platformcheck.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QString>
#include <QStringList>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// The X display of DISPLAY opens. libxcb is what the toolkit's X platform connects with; it
// is loaded only for this check.
QString xDisplayProblem()
{
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty())
        return "DISPLAY is not set";
    void *xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb)
        return "libxcb.so.1 cannot be loaded";
    using ConnectFn = void *(*)(const char *, int *);
    using ConnectionFn = int (*)(void *);
    using DisconnectFn = void (*)(void *);
    auto connect = reinterpret_cast<ConnectFn>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<ConnectionFn>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<DisconnectFn>(dlsym(xcb, "xcb_disconnect"));
    bool opened = false;
    if (connect && hasError && disconnect) {
        void *connection = connect(nullptr, nullptr);
        opened = connection && hasError(connection) == 0;
        if (connection)
            disconnect(connection);
    }
    dlclose(xcb);
    return opened ? QString() : QString("the X display \"%1\" cannot be opened").arg(QString::fromLocal8Bit(display));
}

// A Wayland compositor listens on WAYLAND_DISPLAY (default "wayland-0", relative to
// XDG_RUNTIME_DIR unless absolute).
QString waylandProblem()
{
    QByteArray name = qgetenv("WAYLAND_DISPLAY");
    if (name.isEmpty())
        name = "wayland-0";
    QByteArray path = name;
    if (!name.startsWith('/')) {
        const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
        if (runtimeDir.isEmpty())
            return "XDG_RUNTIME_DIR is not set";
        path = runtimeDir + "/" + name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    bool reached = false;
    if (size_t(path.size()) < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            reached = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            close(fd);
        }
    }
    return reached ? QString() : QString("no Wayland compositor at \"%1\"").arg(QString::fromLocal8Bit(path));
}

// The toolkit finds a platform by the keys in its plugins' metadata, in the platform plugin
// path and in the "platforms" folder of each library path.
bool platformPluginInstalled(const QString &name)
{
    QStringList folders;
    const QByteArray pluginPath = qgetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
    if (!pluginPath.isEmpty())
        folders << QString::fromLocal8Bit(pluginPath);
    for (const QString &path : QCoreApplication::libraryPaths())
        folders << path + "/platforms";
    for (const QString &folder : folders) {
        const QDir dir(folder);
        for (const QString &file : dir.entryList(QDir::Files)) {
            const QJsonObject meta = QPluginLoader(dir.filePath(file)).metaData().value("MetaData").toObject();
            for (const QJsonValue key : meta.value("Keys").toArray()) {
                if (key.toString().compare(name, Qt::CaseInsensitive) == 0)
                    return true;
            }
        }
    }
    return false;
}

QString platformProblem(const QString &name)
{
    if (!platformPluginInstalled(name))
        return QString("no platform plugin \"%1\" is installed").arg(name);
    if (name.compare("xcb", Qt::CaseInsensitive) == 0)
        return xDisplayProblem();
    if (name.startsWith("wayland", Qt::CaseInsensitive))
        return waylandProblem();
    return {};
}

} // namespace

bool platformCanStart()
{
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    QStringList names = QString::fromLocal8Bit(chosen).split(';', Qt::SkipEmptyParts);
    if (names.isEmpty())
        names << "xcb";
    QStringList problems;
    for (const QString &entry : names) {
        const QString name = entry.section(':', 0, 0);
        const QString problem = platformProblem(name);
        if (problem.isEmpty())
            return true;
        problems << (chosen.isEmpty() ? problem : name + ": " + problem);
    }
    std::fprintf(stderr, "pinprompt: no prompt shown, no platform to show it on: %s\n",
                 qPrintable(problems.join("; ")));
    return false;
}
