// A pretend game controller for the tests: SDL's virtual joystick with a standard controller's
// buttons and axes, which SDL maps as a game controller. Needs SDL's joystick subsystem (the
// game controllers' poller takes it) and no hardware or video.
#pragma once

#include <SDL.h>

namespace kivo::test {

class VirtualPad {
  public:
    VirtualPad() {
        SDL_VirtualJoystickDesc desc{};
        desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
        desc.naxes = SDL_CONTROLLER_AXIS_MAX;
        desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
        desc.name = "KIVO test controller";
        const int index = SDL_JoystickAttachVirtualEx(&desc);
        if (index >= 0) joystick_ = SDL_JoystickOpen(index);
        if (joystick_) id_ = SDL_JoystickInstanceID(joystick_);
    }
    ~VirtualPad() { Unplug(); }
    bool attached() const { return joystick_ != nullptr; }

    void Button(SDL_GameControllerButton button, bool down) {
        SDL_JoystickSetVirtualButton(joystick_, button, down ? 1 : 0);
    }
    void Axis(SDL_GameControllerAxis axis, Sint16 value) {
        SDL_JoystickSetVirtualAxis(joystick_, axis, value);
    }
    void Unplug() {
        if (!joystick_) return;
        SDL_JoystickClose(joystick_);
        joystick_ = nullptr;
        for (int i = 0; i < SDL_NumJoysticks(); ++i) {
            if (SDL_JoystickGetDeviceInstanceID(i) == id_) SDL_JoystickDetachVirtual(i);
        }
    }

  private:
    SDL_Joystick* joystick_ = nullptr;
    SDL_JoystickID id_ = -1;
};

}  // namespace kivo::test
