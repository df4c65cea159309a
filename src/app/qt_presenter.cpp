#include "app/qt_presenter.h"

#include "host/dest_rect.h"

namespace kivo {

bool QtPresenter::InitVideo() {
    gb_.video_ready = true;
    return true;
}

void QtPresenter::UpdateDestRect() {
    // The view is the client area without the status bar, so its own rectangle with a status bar
    // of height 0 gives the same picture place as the whole client area with the bar.
    const Rect client{0, 0, view_.client_width(), view_.client_height()};
    const Rect dest = full_screen_.load() ? ComputeFullScreenRect(client)
                                          : ComputeDestRect(client, 0, gb_.screen_size.load());
    gb_.dest_rect[0] = dest.left;
    gb_.dest_rect[1] = dest.top;
    gb_.dest_rect[2] = dest.right;
    gb_.dest_rect[3] = dest.bottom;
}

void QtPresenter::CopyFrameToSurface(const std::uint8_t* frame_buffer) {
    if (!gb_.video_ready) return;
    view_.PublishFrame(frame_buffer);
    pacer_.NoteNewFrame();
}

void QtPresenter::PresentFrame() {
    if (!gb_.video_ready) return;
    if (gb_.dest_rect_dirty.exchange(false)) UpdateDestRect();
    const Rect dest{gb_.dest_rect[0], gb_.dest_rect[1], gb_.dest_rect[2], gb_.dest_rect[3]};
    view_.Present(dest, gb_.screen_filter.load());
    pacer_.WaitToPresent(gb_);
}

void QtPresenter::ReleaseVideo() {
    gb_.video_ready = false;
}

}  // namespace kivo
