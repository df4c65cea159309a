// The presenter of runs without a window: it keeps a copy of the last picture handed to it and
// never waits, so nothing paces the machine.
#pragma once

#include <array>
#include <cstdint>

#include "machine/host_interfaces.h"
#include "machine/layout.h"

namespace kivo {

// One 160x144 picture, 4 bytes per pixel in the frame buffer's order: blue, green, red, tag.
using Picture = std::array<u8, kScreenWidth * kScreenHeight * 4>;

// Copies the visible pixels of a frame buffer (144 lines of 704 bytes, visible pixels from byte
// 32 of each line) into a picture.
void CopyVisiblePixels(const u8* frame_buffer, Picture& picture);

class NullPresenter : public VideoPresenter {
  public:
    void CopyFrameToSurface(const u8* frame_buffer) override;
    void PresentFrame() override;

    // True once a frame has been copied.
    bool has_picture() const { return frames_copied_ != 0; }
    // The last copied picture (all zero before the first copy).
    const Picture& picture() const { return picture_; }
    std::uint64_t frames_copied() const { return frames_copied_; }
    std::uint64_t frames_presented() const { return frames_presented_; }

  private:
    Picture picture_{};
    std::uint64_t frames_copied_ = 0;
    std::uint64_t frames_presented_ = 0;
};

}  // namespace kivo
