// kivo: the desktop program. `kivo [ROM]` opens the window, and the ROM when one is named.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

#include "app/main_window.h"
#include "ui/ini_location.h"
#include "ui/window_texts.h"

namespace {

int quit_pipe[2] = {-1, -1};

// SIGTERM (a session logging out) and SIGINT (Ctrl-C in a terminal) close the window as "Quit"
// does, so that the battery RAM and the options are saved. The handler only writes a byte; the
// GUI thread reads it.
void OnQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(quit_pipe[1], &byte, 1);
}

void CloseOnQuitSignals(QWidget& window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, quit_pipe) != 0) return;
    auto* notifier = new QSocketNotifier(quit_pipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(quit_pipe[0], &byte, 1);
        window.close();
    });
    struct sigaction action = {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(kivo::kAppTitle);
    QApplication::setWindowIcon(QIcon(":/kivo.svg"));

    const QStringList args = QApplication::arguments();
    if (args.size() > 2) {
        std::fprintf(stderr, "usage: kivo [ROM]\n");
        return 2;
    }
    kivo::TMainWnd::Setup setup;
    setup.ini_path = kivo::ChooseIniPath(QApplication::applicationFilePath().toStdString());
    kivo::TMainWnd window(setup);
    CloseOnQuitSignals(window);
    window.show();
    if (args.size() == 2) window.OpenRomPath(args[1].toStdString());
    return app.exec();
}
