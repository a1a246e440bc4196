#include "platformcheck.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QString>
#include <QStringList>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The X display of DISPLAY opens and has the screen that DISPLAY names (":0.1" is screen 1 of
// display 0). libxcb is what the toolkit's X platform connects with; it is loaded only for this
// check.
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
    using GetSetupFn = const void *(*)(void *);
    using RootsLengthFn = int (*)(const void *);
    auto connect = reinterpret_cast<ConnectFn>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<ConnectionFn>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<DisconnectFn>(dlsym(xcb, "xcb_disconnect"));
    auto getSetup = reinterpret_cast<GetSetupFn>(dlsym(xcb, "xcb_get_setup"));
    auto rootsLength = reinterpret_cast<RootsLengthFn>(dlsym(xcb, "xcb_setup_roots_length"));
    const QString name = QString::fromLocal8Bit(display);
    QString problem = QString("the X display \"%1\" cannot be opened").arg(name);
    if (connect && hasError && disconnect && getSetup && rootsLength) {
        // libxcb refuses a screen number beyond the server's screens itself when asked for the
        // number (XCB_CONN_CLOSED_INVALID_SCREEN, 6); older versions leave that to the caller.
        constexpr int invalidScreen = 6;
        int screen = 0;
        void *connection = connect(nullptr, &screen);
        const int error = connection ? hasError(connection) : -1;
        if (error == 0 && screen >= 0 && screen < rootsLength(getSetup(connection)))
            problem.clear();
        else if (error == 0 || error == invalidScreen)
            problem = QString("the X display \"%1\" has no screen %2").arg(name).arg(screen);
        if (connection)
            disconnect(connection);
    }
    dlclose(xcb);
    return problem;
}

// The framebuffer device that the toolkit's linuxfb platform draws on: "fb=DEVICE" among the
// platform's options, or else the first of /dev/fb0 and /dev/graphics/fb0 that exists. It must
// open and answer for its screen as the platform asks it to.
QString framebufferProblem(const QStringList &options)
{
    QString device;
    for (const QString &option : options) {
        if (option.startsWith("fb="))
            device = option.mid(3);
    }
    if (device.isEmpty()) {
        for (const char *candidate : {"/dev/fb0", "/dev/graphics/fb0"}) {
            if (access(candidate, F_OK) == 0) {
                device = candidate;
                break;
            }
        }
        if (device.isEmpty())
            return "no framebuffer device (/dev/fb0)";
    }
    const QByteArray path = QFile::encodeName(device);
    int fd = open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QString("the framebuffer \"%1\" cannot be opened: %2").arg(device, QString::fromLocal8Bit(strerror(errno)));
    fb_fix_screeninfo fixed{};
    fb_var_screeninfo variable{};
    const bool answers = ioctl(fd, FBIOGET_FSCREENINFO, &fixed) == 0 && ioctl(fd, FBIOGET_VSCREENINFO, &variable) == 0;
    close(fd);
    return answers ? QString() : QString("\"%1\" is no framebuffer").arg(device);
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

// The platforms judged are those that need a device or a server to start: xcb, wayland and
// linuxfb. Others start without one (offscreen, minimal, vnc) or cannot be judged without
// starting them (eglfs, minimalegl): they are taken as they are.
QString platformProblem(const QString &name, const QStringList &options)
{
    if (!platformPluginInstalled(name))
        return QString("no platform plugin \"%1\" is installed").arg(name);
    if (name.compare("xcb", Qt::CaseInsensitive) == 0)
        return xDisplayProblem();
    if (name.startsWith("wayland", Qt::CaseInsensitive))
        return waylandProblem();
    if (name.compare("linuxfb", Qt::CaseInsensitive) == 0)
        return framebufferProblem(options);
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
        QStringList options = entry.split(':');
        const QString name = options.takeFirst();
        const QString problem = platformProblem(name, options);
        if (problem.isEmpty())
            return true;
        problems << (chosen.isEmpty() ? problem : name + ": " + problem);
    }
    std::fprintf(stderr, "pinprompt: no prompt shown, no platform to show it on: %s\n",
                 qPrintable(problems.join("; ")));
    return false;
}
