// The player's hotkeys in the window (the table is ui/hotkeys.h): fast-forward and rewind while
// a key is held, quick save slots, screenshots and full screen. They watch the main window's key
// events ahead of its own handlers and take the presses they act on; a key bound to a console
// button is left to the buttons.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <string>

#include "ui/hotkeys.h"
#include "ui/rewind_ring.h"

class QKeyEvent;
class QTimer;

namespace kivo {

class Pacer;
class QtPresenter;
class TMainWnd;

class PlayerHotkeys : public QObject {
    Q_OBJECT
  public:
    // Made before the worker starts: it takes the worker's after-slice hook for the rewind ring.
    PlayerHotkeys(TMainWnd& window, QtPresenter& presenter, Pacer& pacer);

    // The actions, as the keys run them.
    void SetFastForward(bool on);
    void BeginRewind();
    void EndRewind();
    void LoadSlot(int slot);
    void SaveSlot(int slot);
    void Screenshot();
    void SetFullScreen(bool on);

    // Shutdown, before the worker ends: a held fast-forward or rewind ends, and keys and window
    // events are no longer watched.
    void Stop();
    // A cartridge was opened or closed: its snapshots no longer apply. Worker held.
    void ForgetRom() { ring_.Clear(); }
    // The status bar's line: a hotkey's message for two seconds, else `usual`.
    std::string StatusLine(const std::string& usual) const;

    bool fast_forward() const { return fast_forward_; }
    bool rewinding() const { return rewinding_; }
    bool full_screen() const { return full_screen_; }
    // Steps back taken since the rewind key went down.
    int rewind_steps() const { return rewind_steps_; }
    const RewindRing& ring() const { return ring_; }
    // Where the last screenshot went.
    const std::string& last_screenshot() const { return last_screenshot_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool KeyPressed(QKeyEvent* event);
    void KeyReleased(QKeyEvent* event);
    void StepBack();
    void Flash(const std::string& text);
    // Refreshes the status bar, and in full screen the message over the picture.
    void ShowStatus();

    TMainWnd& window_;
    QtPresenter& presenter_;
    Pacer& pacer_;
    RewindRing ring_;
    StatusFlash flash_;
    QElapsedTimer clock_;
    QTimer* rewind_timer_ = nullptr;
    QTimer* rewind_release_ = nullptr;  // ends the rewind unless the key is pressed again
    bool fast_forward_ = false;
    bool rewinding_ = false;
    bool full_screen_ = false;
    int rewind_steps_ = 0;
    std::string last_screenshot_;
    QRect normal_geometry_;  // the window's place before full screen
};

}  // namespace kivo
