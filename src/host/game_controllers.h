// Game controllers through SDL2's GameController API. The D-pad and the left stick play the
// directions, the south and east face buttons play B and A (A to the right of B, as on the
// console), Start plays Start and Back plays Select. Each controller is a source of the window's
// button holds, so a controller and the keyboard may hold the same button at once.
//
// A press is held for at least two polls (16 ms at the window's 8 ms, about one console frame),
// even when the release arrives sooner: a game reads its buttons once a frame and would miss a
// tap whose press and release came in the same poll.
//
// Everything here runs on the GUI thread: Poll drains SDL's event queue (this program reads no
// other SDL events) and turns the controller events into presses and releases on the machine,
// which the worker reads without ever being paused. Controllers connected while running are
// opened at the next poll; one disconnected releases every button it held. Without SDL
// game-controller support Init fails and every call does nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "machine/gbsys.h"
#include "ui/button_holds.h"

namespace kivo {

// The console button (KEY_RIGHT .. KEY_START) an SDL_GameControllerButton plays; -1 for none.
int ControllerButtonKey(int sdl_button);

// The left stick's dead zone is round: nothing is pressed until the stick is pushed past half its
// travel in any direction, and what is pressed lets go only below 40%, so a stick resting near
// the edge does not chatter presses. Past it the stick plays one of eight directions, each a 45°
// sector (a diagonal holds two buttons), with a little overlap kept while a direction is held.
inline constexpr int kStickPressAt = 16384;
inline constexpr int kStickReleaseAt = 13107;
// The direction bits (1 << KEY_RIGHT, ...) the left stick holds at axis values x and y (SDL's
// range, negative to the left and up), given the bits it held before.
std::uint8_t StickDirections(int x, int y, std::uint8_t held);

class GameControllers {
  public:
    static constexpr std::uint32_t kShortestHoldPolls = 2;

    GameControllers(TGBSYSF& gb, ButtonHolds& holds);
    ~GameControllers();
    GameControllers(const GameControllers&) = delete;
    GameControllers& operator=(const GameControllers&) = delete;

    // Takes SDL's game-controller subsystem (beside any other SDL subsystem in use). False when
    // unavailable; the controllers then stay off.
    bool Init();
    // Opens controllers connected since the last poll, closes those removed, plays the presses.
    void Poll();
    // Lets go of every button the controllers hold, closes them, gives the subsystem back.
    void Shutdown();

    bool ready() const { return ready_; }
    int count() const;  // controllers open

  private:
    struct Pad;
    void Open(int device_index);
    void Close(std::int32_t instance_id);
    Pad* Find(std::int32_t instance_id);
    void Apply(Pad& pad);

    TGBSYSF& gb_;
    ButtonHolds& holds_;
    bool ready_ = false;
    std::uint32_t polls_ = 0;
    std::vector<Pad> pads_;
};

}  // namespace kivo
