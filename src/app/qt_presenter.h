// The window's presenter: frames go to the ScreenView, scaled into the destination rectangle
// with the chosen filter, and each present waits for the next retrace of the display the window
// is on (a pacer tick), so the display paces the machine.
#pragma once

#include <atomic>

#include "app/screen_view.h"
#include "machine/gbsys.h"
#include "machine/host_interfaces.h"
#include "machine/pacer.h"

namespace kivo {

class QtPresenter : public VideoPresenter {
  public:
    QtPresenter(TGBSYSF& gb, ScreenView& view, Pacer& pacer)
        : gb_(gb), view_(view), pacer_(pacer) {}

    // Painting through the toolkit cannot fail to set up.
    bool InitVideo() override;
    // From the view's size: the client area above the status bar.
    void UpdateDestRect() override;
    void CopyFrameToSurface(const std::uint8_t* frame_buffer) override;
    void PresentFrame() override;
    void ReleaseVideo() override;

    // Full screen: the picture fills the screen as far as its aspect allows, whatever the
    // chosen size. Any thread; takes effect at the next present.
    void SetFullScreen(bool on) {
        full_screen_.store(on);
        gb_.dest_rect_dirty = true;
    }

  private:
    TGBSYSF& gb_;
    ScreenView& view_;
    Pacer& pacer_;
    std::atomic<bool> full_screen_{false};
};

}  // namespace kivo
