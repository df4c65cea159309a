#include "host/null_presenter.h"

#include <cstring>

namespace kivo {

void CopyVisiblePixels(const u8* frame_buffer, Picture& picture) {
    constexpr int kRowBytes = kScreenWidth * 4;
    for (int y = 0; y < kScreenHeight; ++y) {
        std::memcpy(picture.data() + y * kRowBytes, frame_buffer + y * kLineBytes + kVisibleOffset,
                    kRowBytes);
    }
}

void NullPresenter::CopyFrameToSurface(const u8* frame_buffer) {
    CopyVisiblePixels(frame_buffer, picture_);
    ++frames_copied_;
}

void NullPresenter::PresentFrame() {
    ++frames_presented_;
}

}  // namespace kivo
