// kivo: the desktop program. `kivo [ROM]` opens the window, and the ROM when one is named.
#include <QApplication>
#include <QIcon>
#include <cstdio>

#include "app/main_window.h"
#include "ui/ini_location.h"
#include "ui/window_texts.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(kivo::kAppTitle);
    QApplication::setApplicationDisplayName(kivo::kAppTitle);
    QApplication::setWindowIcon(QIcon(":/kivo.svg"));

    const QStringList args = QApplication::arguments();
    if (args.size() > 2) {
        std::fprintf(stderr, "usage: kivo [ROM]\n");
        return 2;
    }
    kivo::TMainWnd::Setup setup;
    setup.ini_path = kivo::ChooseIniPath(QApplication::applicationFilePath().toStdString());
    kivo::TMainWnd window(setup);
    window.show();
    if (args.size() == 2) window.OpenRomPath(args[1].toStdString());
    return app.exec();
}
