// The sound output through SDL2: a 22050 Hz, 16-bit signed, stereo device whose audio callback
// drains a sound stream that the machine's blocks fill, with the six operations of a sound
// output. Under SDL_AUDIODRIVER=dummy it runs without a sound card; under SDL_AUDIODRIVER=disk
// (SDL_DISKAUDIOFILE=out.raw) it writes exactly what the device would play to a file.
//
// Set-up failures show one of the fixed texts through the machine's ShowErrorMessage and leave
// the output off: every operation then returns at once and the machine runs silently.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "host/sound_stream.h"
#include "machine/gbsys.h"
#include "machine/host_interfaces.h"

namespace kivo {

inline constexpr const char* kSdlInitMessage = "SDL : SDL_InitSubSystem";
inline constexpr const char* kSdlOpenMessage = "SDL : SDL_OpenAudioDevice";

class SdlSoundOutput : public SoundOutput {
  public:
    // The device's own buffer asked for, in frames (about 23 ms); SDL may choose another size.
    static constexpr std::uint16_t kDeviceFrames = 512;

    explicit SdlSoundOutput(TGBSYSF& gb) : gb_(gb) {}
    ~SdlSoundOutput() override { ReleaseSound(); }
    SdlSoundOutput(const SdlSoundOutput&) = delete;
    SdlSoundOutput& operator=(const SdlSoundOutput&) = delete;

    // GUI thread, once, before the worker runs the machine. Sets the machine's sound_ready.
    bool InitSound() override;
    void StreamSoundBlock(const std::uint8_t* block) override;
    void PlaySound() override;
    void StopSound() override;
    // GUI thread, once the worker's loop has ended.
    void ReleaseSound() override;

    bool ready() const { return ready_.load(std::memory_order_acquire); }
    // The device's buffer as SDL opened it, in bytes.
    std::uint32_t device_buffer_bytes() const { return device_buffer_bytes_; }
    const SoundStream& stream() const { return stream_; }

  private:
    static void Callback(void* self, std::uint8_t* stream, int length);

    TGBSYSF& gb_;
    SoundStream stream_;
    std::uint32_t device_ = 0;  // SDL_AudioDeviceID
    std::uint32_t device_buffer_bytes_ = 0;
    std::FILE* tee_ = nullptr;  // KIVO_SOUND_TEE
    bool subsystem_ = false;
    std::atomic<bool> ready_{false};
};

}  // namespace kivo
