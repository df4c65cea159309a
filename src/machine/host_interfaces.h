// The two narrow interfaces through which the machine reaches the host: a video presenter for
// finished frames and a sound output for finished sample blocks. The machine calls them once per
// presented frame and once per 2048-frame block, never per instruction.
#pragma once

#include <cstdint>

namespace kivo {

class VideoPresenter {
  public:
    virtual ~VideoPresenter() = default;

    // Set-up on the GUI thread; returns false (after reporting) when the picture is unavailable.
    virtual bool InitVideo() { return true; }
    // Recomputes where the picture goes in the window.
    virtual void UpdateDestRect() {}
    // Copies the visible 160x144 pixels of the frame buffer (144 lines of 704 bytes, visible
    // pixels from byte 32 of each line, 4 bytes blue, green, red, tag) into the presenter's
    // surface. Called on the emulation thread when a frame is ready.
    virtual void CopyFrameToSurface(const std::uint8_t* frame_buffer) = 0;
    // Shows the surface; a real display waits here for the next vertical retrace.
    virtual void PresentFrame() = 0;
    virtual void ReleaseVideo() {}
};

class SoundOutput {
  public:
    virtual ~SoundOutput() = default;

    virtual bool InitSound() { return true; }
    // Hands over one block: 2048 stereo frames of two signed 16-bit little-endian samples
    // (8192 bytes), left first. Called on the emulation thread; must not wait.
    virtual void StreamSoundBlock(const std::uint8_t* block) = 0;
    virtual void PlaySound() {}
    virtual void StopSound() {}
    virtual void ReleaseSound() {}
};

}  // namespace kivo
