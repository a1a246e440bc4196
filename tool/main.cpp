#include "mainwindow.h"
#include "singleapplication.h"
#include "utils.h"

#include <QIcon>
#include <QTextCodec>

int main(int argc, char **argv)
{
    SingleApplication app(argc, argv);
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    if (app.isRunning())
        return 0;

    app.setQuitOnLastWindowClosed(false);

    MainWindow window(nullptr);
    window.setWindowTitle(Utils::convertCharToUTF8Str("Zavrin管理工具"));
    window.setWindowIcon(QIcon(QStringLiteral(":/Resources/mirvale.png")));
    window.show();
    return app.exec();
}
