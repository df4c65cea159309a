#include "host/sdl_sound_output.h"

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace kivo {

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ReportStats(const SoundStream::Stats& s) {
    const double ms_per_frame = 1000.0 / SoundStream::kRate;
    const std::uint64_t written = s.blocks - s.dropped;
    std::fprintf(
        stderr,
        "sound: %llu blocks, %llu dropped, %llu resyncs, %llu resampled; waiting ahead "
        "of a block: mean %.1f ms, most %.1f ms\n",
        static_cast<unsigned long long>(s.blocks), static_cast<unsigned long long>(s.dropped),
        static_cast<unsigned long long>(s.resyncs), static_cast<unsigned long long>(s.stretched),
        written ? s.fill_sum / static_cast<double>(written) * ms_per_frame : 0.0,
        s.max_fill * ms_per_frame);
}

}  // namespace

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
    device_buffer_bytes_ = static_cast<std::uint32_t>(have.samples) * SoundStream::kFrameBytes;
    // KIVO_SOUND_TEE=FILE: every block handed over is also appended to FILE, raw, so that what
    // reached the device can be held to what the machine made while someone plays.
    if (const char* tee = std::getenv("KIVO_SOUND_TEE")) tee_ = std::fopen(tee, "wb");
    ready_.store(true, std::memory_order_release);
    gb_.sound_ready = true;
    return true;
}

void SdlSoundOutput::Callback(void* self, std::uint8_t* stream, int length) {
    if (length <= 0) return;
    static_cast<SdlSoundOutput*>(self)->stream_.Play(stream, static_cast<std::uint32_t>(length),
                                                     Now());
}

void SdlSoundOutput::StreamSoundBlock(const std::uint8_t* block) {
    if (!ready()) return;
    if (tee_ && stream_.playing()) std::fwrite(block, 1, SoundStream::kBlockBytes, tee_);
    stream_.StreamBlock(block, Now());
}

void SdlSoundOutput::PlaySound() {
    if (!ready() || stream_.playing()) return;
    stream_.SetPlaying(true);
    SDL_PauseAudioDevice(device_, 0);
}

void SdlSoundOutput::StopSound() {
    if (!ready() || !stream_.playing()) return;
    SDL_PauseAudioDevice(device_, 1);
    stream_.SetPlaying(false);
}

void SdlSoundOutput::ReleaseSound() {
    if (device_ != 0) {
        SDL_CloseAudioDevice(device_);
        device_ = 0;
        // KIVO_SOUND_STATS=1: how the stream went, for measuring the live sound.
        if (std::getenv("KIVO_SOUND_STATS")) ReportStats(stream_.stats());
    }
    if (tee_) {
        std::fclose(tee_);
        tee_ = nullptr;
    }
    if (subsystem_) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        subsystem_ = false;
    }
    if (ready_.exchange(false, std::memory_order_acq_rel)) gb_.sound_ready = false;
    stream_.SetPlaying(false);
}

}  // namespace kivo
