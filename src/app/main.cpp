// kivo: the desktop program. `kivo [--fullscreen] [ROM]` opens the window, and the ROM when one
// is named; `kivo --help` and `kivo --version` answer without a display.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/player_hotkeys.h"
#include "ui/ini_location.h"
#include "ui/kivo_args.h"
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

bool HasEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// The toolkit's messages while it connects to the display: held back, and when it gives up (a
// fatal message, which would abort) replaced by one line and exit status 1.
std::vector<std::string> startup_messages;

void StartupMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtFatalMsg) {
        startup_messages.push_back(text.toStdString());
        return;
    }
    const char* display = std::getenv("DISPLAY");
    std::fprintf(stderr, "kivo: cannot open the display%s%s\n", display ? " " : "",
                 display ? display : "");
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    kivo::KivoArgs args;
    std::string error;
    if (!kivo::ParseKivoArgs(words, &args, &error)) {
        std::fprintf(stderr, "kivo: %s\nusage: kivo [--fullscreen] [ROM]; kivo --help\n",
                     error.c_str());
        return 2;
    }
    if (args.help) {
        std::fputs(kivo::KivoHelpText().c_str(), stdout);
        return 0;
    }
    if (args.version) {
        std::printf("kivo %s\n", KIVO_VERSION);
        return 0;
    }
    // With neither an X nor a Wayland display, nor a platform chosen by hand (offscreen), the
    // toolkit could only abort.
    if (!HasEnv("DISPLAY") && !HasEnv("WAYLAND_DISPLAY") && !HasEnv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "kivo: no display to open (DISPLAY and WAYLAND_DISPLAY are unset)\n");
        return 1;
    }

    qInstallMessageHandler(StartupMessages);
    QApplication app(argc, argv);
    qInstallMessageHandler(nullptr);
    for (const std::string& message : startup_messages) {
        std::fprintf(stderr, "%s\n", message.c_str());
    }
    QApplication::setApplicationName(kivo::kAppTitle);
    QApplication::setWindowIcon(QIcon(":/kivo.svg"));

    kivo::TMainWnd::Setup setup;
    setup.ini_path = kivo::ChooseIniPath(QApplication::applicationFilePath().toStdString());
    kivo::TMainWnd window(setup);
    CloseOnQuitSignals(window);
    window.show();
    if (args.fullscreen) window.hotkeys().SetFullScreen(true);
    if (!args.rom.empty()) window.OpenRomPath(args.rom);
    return app.exec();
}
