// kivo_pad_play: the real window with a pretend game controller, for playing by script. The
// controller is SDL's virtual joystick, driven by lines on standard input, one command a line:
//   press <button>    release <button>     (a, b, back, start, up, down, left, right)
//   stick <x> <y>     the left stick, -32768 .. 32767
//   unplug            plug                 (a new controller)
//   quit
// Usage: kivo_pad_play ROM [INI]. The keyboard works as in kivo at the same time.
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "app/main_window.h"
#include "support/virtual_pad.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: kivo_pad_play ROM [INI]\n");
        return 2;
    }
    kivo::TMainWnd::Setup setup;
    setup.ini_path = argc > 2 ? argv[2] : "/tmp/kivo_pad_play.INI";
    kivo::TMainWnd window(setup);
    window.show();
    window.OpenRomPath(argv[1]);

    SDL_InitSubSystem(SDL_INIT_JOYSTICK);
    auto pad = std::make_unique<kivo::test::VirtualPad>();
    const std::map<std::string, SDL_GameControllerButton> buttons = {
        {"a", SDL_CONTROLLER_BUTTON_A},
        {"b", SDL_CONTROLLER_BUTTON_B},
        {"back", SDL_CONTROLLER_BUTTON_BACK},
        {"start", SDL_CONTROLLER_BUTTON_START},
        {"up", SDL_CONTROLLER_BUTTON_DPAD_UP},
        {"down", SDL_CONTROLLER_BUTTON_DPAD_DOWN},
        {"left", SDL_CONTROLLER_BUTTON_DPAD_LEFT},
        {"right", SDL_CONTROLLER_BUTTON_DPAD_RIGHT}};

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[256];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::istringstream line(pending.substr(0, end));
            pending.erase(0, end + 1);
            std::string command, name;
            line >> command;
            if (command == "press" || command == "release") {
                line >> name;
                if (auto it = buttons.find(name); it != buttons.end() && pad)
                    pad->Button(it->second, command == "press");
            } else if (command == "stick" && pad) {
                int x = 0, y = 0;
                line >> x >> y;
                pad->Axis(SDL_CONTROLLER_AXIS_LEFTX, static_cast<Sint16>(x));
                pad->Axis(SDL_CONTROLLER_AXIS_LEFTY, static_cast<Sint16>(y));
            } else if (command == "unplug") {
                pad.reset();
            } else if (command == "plug") {
                pad = std::make_unique<kivo::test::VirtualPad>();
            } else if (command == "quit") {
                window.close();
            }
        }
    });
    const int result = QApplication::exec();
    pad.reset();
    return result;
}
