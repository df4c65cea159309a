#include "host/sdl_sound_output.h"

#include <SDL.h>

namespace kivo {

bool SdlSoundOutput::InitSound() {
    if (ready()) return true;
    auto fail = [this](const char* message) {
        if (gb_.ShowErrorMessage) gb_.ShowErrorMessage(message);
        return false;
    };
    if (!subsystem_) {
        // SDL would otherwise catch SIGINT and SIGTERM for an event queue nobody reads, and the
        // program could no longer be ended by them.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return fail(kSdlInitMessage);
        subsystem_ = true;
    }

    SDL_AudioSpec want{};
    want.freq = 22050;
    want.format = AUDIO_S16LSB;
    want.channels = 2;
    want.samples = kDeviceFrames;
    want.callback = &SdlSoundOutput::Callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts to whatever the hardware wants behind the callback.
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) return fail(kSdlOpenMessage);
    device_ = device;
    buffer_.SetLeadBytes(static_cast<std::uint32_t>(have.samples) *
                         LoopingSoundBuffer::kFrameBytes);
    ready_.store(true, std::memory_order_release);
    gb_.sound_ready = true;
    return true;
}

void SdlSoundOutput::Callback(void* self, std::uint8_t* stream, int length) {
    if (length <= 0) return;
    static_cast<SdlSoundOutput*>(self)->buffer_.Play(stream, static_cast<std::uint32_t>(length));
}

void SdlSoundOutput::StreamSoundBlock(const std::uint8_t* block) {
    if (!ready()) return;
    buffer_.StreamBlock(block);
}

void SdlSoundOutput::PlaySound() {
    if (!ready() || buffer_.playing()) return;
    buffer_.SetPlaying(true);
    SDL_PauseAudioDevice(device_, 0);
}

void SdlSoundOutput::StopSound() {
    if (!ready() || !buffer_.playing()) return;
    SDL_PauseAudioDevice(device_, 1);
    buffer_.SetPlaying(false);
}

void SdlSoundOutput::ReleaseSound() {
    if (device_ != 0) {
        SDL_CloseAudioDevice(device_);
        device_ = 0;
    }
    if (subsystem_) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        subsystem_ = false;
    }
    if (ready_.exchange(false, std::memory_order_acq_rel)) gb_.sound_ready = false;
    buffer_.SetPlaying(false);
}

}  // namespace kivo
