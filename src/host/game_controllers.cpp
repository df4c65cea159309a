#include "host/game_controllers.h"

#include <SDL.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace kivo {

struct GameControllers::Pad {
    SDL_GameController* handle = nullptr;
    SDL_JoystickID id = -1;
    int source = 0;             // this controller's source in the button holds
    std::uint32_t buttons = 0;  // SDL buttons down, one bit per SDL_GameControllerButton
    int x = 0, y = 0;           // the left stick
    std::uint8_t stick = 0;     // directions the stick holds
    std::uint8_t held = 0;      // console buttons this controller holds
    std::array<std::uint32_t, 8> pressed_at{};  // the poll that pressed each held button
};

int ControllerButtonKey(int sdl_button) {
    switch (sdl_button) {
        case SDL_CONTROLLER_BUTTON_DPAD_RIGHT: return KEY_RIGHT;
        case SDL_CONTROLLER_BUTTON_DPAD_LEFT: return KEY_LEFT;
        case SDL_CONTROLLER_BUTTON_DPAD_UP: return KEY_UP;
        case SDL_CONTROLLER_BUTTON_DPAD_DOWN: return KEY_DOWN;
        // SDL names the face buttons by position (labels are turned off in Init): A is the
        // south one, B the east one. The console's B sits left of and below its A.
        case SDL_CONTROLLER_BUTTON_A: return KEY_B;
        case SDL_CONTROLLER_BUTTON_B: return KEY_A;
        case SDL_CONTROLLER_BUTTON_BACK: return KEY_SELECT;
        case SDL_CONTROLLER_BUTTON_START: return KEY_START;
        default: return -1;
    }
}

std::uint8_t StickDirections(int x, int y, std::uint8_t held) {
    const double length = std::hypot(static_cast<double>(x), static_cast<double>(y));
    if (length < (held != 0 ? kStickReleaseAt : kStickPressAt)) return 0;
    // A direction is pressed when the stick points within 67.5° of it (sin 22.5° of the length
    // along its axis), so the eight sectors are equal; a held one stays down to 72.5°.
    auto toward = [&](double along, int key) {
        const double share = (held >> key & 1) != 0 ? 0.30 : 0.3827;
        return along > share * length;
    };
    std::uint8_t bits = 0;
    if (toward(x, KEY_RIGHT)) bits |= 1u << KEY_RIGHT;
    if (toward(-x, KEY_LEFT)) bits |= 1u << KEY_LEFT;
    if (toward(-y, KEY_UP)) bits |= 1u << KEY_UP;
    if (toward(y, KEY_DOWN)) bits |= 1u << KEY_DOWN;
    return bits;
}

GameControllers::GameControllers(TGBSYSF& gb, ButtonHolds& holds) : gb_(gb), holds_(holds) {}

GameControllers::~GameControllers() {
    Shutdown();
}

bool GameControllers::Init() {
    if (ready_) return true;
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // Face buttons by position, also on controllers that print A on the east button.
    SDL_SetHint(SDL_HINT_GAMECONTROLLER_USE_BUTTON_LABELS, "0");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) return false;
    ready_ = true;
    // Controllers present at start arrive as connection events at the first poll.
    return true;
}

void GameControllers::Shutdown() {
    if (!ready_) return;
    for (Pad& pad : pads_) {
        holds_.ReleaseAll(gb_, pad.source);
        SDL_GameControllerClose(pad.handle);
    }
    pads_.clear();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    ready_ = false;
}

int GameControllers::count() const {
    return static_cast<int>(pads_.size());
}

GameControllers::Pad* GameControllers::Find(std::int32_t instance_id) {
    auto it = std::find_if(pads_.begin(), pads_.end(),
                           [instance_id](const Pad& pad) { return pad.id == instance_id; });
    return it == pads_.end() ? nullptr : &*it;
}

void GameControllers::Open(int device_index) {
    if (Find(SDL_JoystickGetDeviceInstanceID(device_index))) return;
    // The lowest free source; past the last one a controller stays unused.
    int source = 1;
    while (source < ButtonHolds::kMaxSources &&
           std::any_of(pads_.begin(), pads_.end(),
                       [source](const Pad& pad) { return pad.source == source; })) {
        ++source;
    }
    if (source >= ButtonHolds::kMaxSources) return;
    SDL_GameController* handle = SDL_GameControllerOpen(device_index);
    if (handle == nullptr) return;
    Pad pad;
    pad.handle = handle;
    pad.id = SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(handle));
    pad.source = source;
    // What is already down when it connects plays at once.
    for (int button = 0; button < SDL_CONTROLLER_BUTTON_MAX && button < 32; ++button) {
        if (SDL_GameControllerGetButton(handle, static_cast<SDL_GameControllerButton>(button)))
            pad.buttons |= 1u << button;
    }
    pad.x = SDL_GameControllerGetAxis(handle, SDL_CONTROLLER_AXIS_LEFTX);
    pad.y = SDL_GameControllerGetAxis(handle, SDL_CONTROLLER_AXIS_LEFTY);
    pads_.push_back(pad);
    Apply(pads_.back());
}

void GameControllers::Close(std::int32_t instance_id) {
    Pad* pad = Find(instance_id);
    if (pad == nullptr) return;
    holds_.ReleaseAll(gb_, pad->source);
    SDL_GameControllerClose(pad->handle);
    pads_.erase(pads_.begin() + (pad - pads_.data()));
}

void GameControllers::Apply(Pad& pad) {
    pad.stick = StickDirections(pad.x, pad.y, pad.stick);
    std::uint8_t held = pad.stick;
    for (int button = 0; button < 32; ++button) {
        const int key = (pad.buttons >> button & 1u) != 0 ? ControllerButtonKey(button) : -1;
        if (key >= 0) held |= static_cast<std::uint8_t>(1u << key);
    }
    // A button let go before its shortest hold has passed stays down until a later poll.
    for (int key = 0; key < 8; ++key) {
        if ((pad.held >> key & 1) != 0 && polls_ - pad.pressed_at[key] < kShortestHoldPolls)
            held |= static_cast<std::uint8_t>(1u << key);
    }
    const std::uint8_t changed = held ^ pad.held;
    pad.held = held;
    for (int key = 0; key < 8; ++key) {
        if ((changed >> key & 1) == 0) continue;
        if ((held >> key & 1) != 0) {
            pad.pressed_at[key] = polls_;
            holds_.Press(gb_, key, pad.source);
        } else {
            holds_.Release(gb_, key, pad.source);
        }
    }
}

void GameControllers::Poll() {
    if (!ready_) return;
    ++polls_;
    for (Pad& pad : pads_) Apply(pad);  // the short presses whose time is up
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
        switch (event.type) {
            case SDL_CONTROLLERDEVICEADDED: Open(event.cdevice.which); break;
            case SDL_CONTROLLERDEVICEREMOVED: Close(event.cdevice.which); break;
            case SDL_CONTROLLERBUTTONDOWN:
            case SDL_CONTROLLERBUTTONUP:
                if (Pad* pad = Find(event.cbutton.which); pad && event.cbutton.button < 32) {
                    const std::uint32_t bit = 1u << event.cbutton.button;
                    pad->buttons = event.cbutton.state == SDL_PRESSED ? pad->buttons | bit
                                                                      : pad->buttons & ~bit;
                    Apply(*pad);
                }
                break;
            case SDL_CONTROLLERAXISMOTION:
                if (Pad* pad = Find(event.caxis.which)) {
                    if (event.caxis.axis == SDL_CONTROLLER_AXIS_LEFTX) pad->x = event.caxis.value;
                    if (event.caxis.axis == SDL_CONTROLLER_AXIS_LEFTY) pad->y = event.caxis.value;
                    Apply(*pad);
                }
                break;
            default: break;  // everything else SDL queues is of no use here
        }
    }
}

}  // namespace kivo
