// The looping playback buffer behind the sound output, without any audio library: 131072 bytes
// (32768 stereo frames of two signed 16-bit samples, 22050 Hz, about 1.49 s) played round and
// round from a play position, with a write cursor one device buffer ahead of it.
//
// Streaming is push-only and cursor-driven: each finished 8192-byte block is written at the write
// cursor as it is at that moment, split in two where it passes the end of the ring. There is no
// fill level and no waiting: a block that comes early overwrites the unplayed rest of the one
// before, a late one leaves the ring playing what it held from its previous pass.
//
// The emulation thread writes and the audio thread reads without a lock: every frame is one
// relaxed 32-bit atomic, so a frame is never torn, and the positions are atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace kivo {

class LoopingSoundBuffer {
  public:
    static constexpr std::uint32_t kBytes = 131072;
    static constexpr std::uint32_t kFrameBytes = 4;
    static constexpr std::uint32_t kFrames = kBytes / kFrameBytes;
    static constexpr std::uint32_t kBlockBytes = 8192;

    // The gap between playback and the write cursor: one buffer of the audio device, which is
    // already on its way to the speaker. Rounded down to whole frames, below the ring's size.
    void SetLeadBytes(std::uint32_t bytes);
    std::uint32_t lead_bytes() const { return lead_.load(std::memory_order_relaxed); }

    std::uint32_t PlayPosition() const { return play_.load(std::memory_order_acquire); }
    // Moves playback (tests, and the audio thread through Play). Wrapped and rounded down to a
    // frame.
    void SetPlayPosition(std::uint32_t bytes);
    // The play position plus one device buffer, wrapped.
    std::uint32_t WriteCursor() const { return (PlayPosition() + lead_bytes()) % kBytes; }

    bool playing() const { return playing_.load(std::memory_order_acquire); }
    void SetPlaying(bool on) { playing_.store(on, std::memory_order_release); }

    // StreamSoundBlock's work: one 8192-byte block at the write cursor. Dropped while stopped:
    // playback does not move then, so the block would only be overwritten by the next one.
    void StreamBlock(const std::uint8_t* block);
    // WriteSoundBlock: size bytes at offset (rounded down to a frame), going on at the start of
    // the ring past its end. At most the ring's size is written.
    void WriteAt(std::uint32_t offset, const std::uint8_t* source, std::uint32_t size);
    // Copies size bytes from offset without moving anything (tests, measurements).
    void ReadAt(std::uint32_t offset, std::uint8_t* out, std::uint32_t size) const;
    // The audio callback: fills out with the next size bytes of playback and moves on.
    void Play(std::uint8_t* out, std::uint32_t size);

  private:
    std::array<std::atomic<std::uint32_t>, kFrames> frames_{};
    std::atomic<std::uint32_t> play_{0};
    std::atomic<std::uint32_t> lead_{0};
    std::atomic<bool> playing_{false};
};

}  // namespace kivo
