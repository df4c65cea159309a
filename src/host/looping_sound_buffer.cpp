#include "host/looping_sound_buffer.h"

#include <cstring>

namespace kivo {

namespace {

constexpr std::uint32_t FrameFloor(std::uint32_t bytes) {
    return bytes & ~(LoopingSoundBuffer::kFrameBytes - 1);
}

}  // namespace

void LoopingSoundBuffer::SetLeadBytes(std::uint32_t bytes) {
    const std::uint32_t limit = kBytes - kFrameBytes;
    lead_.store(FrameFloor(bytes > limit ? limit : bytes), std::memory_order_relaxed);
}

void LoopingSoundBuffer::SetPlayPosition(std::uint32_t bytes) {
    play_.store(FrameFloor(bytes % kBytes), std::memory_order_release);
}

void LoopingSoundBuffer::StreamBlock(const std::uint8_t* block) {
    if (!playing()) return;
    WriteAt(WriteCursor(), block, kBlockBytes);
}

void LoopingSoundBuffer::WriteAt(std::uint32_t offset, const std::uint8_t* source,
                                 std::uint32_t size) {
    std::uint32_t frame = FrameFloor(offset % kBytes) / kFrameBytes;
    std::uint32_t count = (size > kBytes ? kBytes : size) / kFrameBytes;
    for (; count > 0; --count, source += kFrameBytes) {
        std::uint32_t value;
        std::memcpy(&value, source, kFrameBytes);
        frames_[frame].store(value, std::memory_order_relaxed);
        frame = (frame + 1) % kFrames;
    }
}

void LoopingSoundBuffer::ReadAt(std::uint32_t offset, std::uint8_t* out, std::uint32_t size) const {
    std::uint32_t frame = FrameFloor(offset % kBytes) / kFrameBytes;
    for (std::uint32_t i = 0; i + kFrameBytes <= size; i += kFrameBytes) {
        const std::uint32_t value = frames_[frame].load(std::memory_order_relaxed);
        std::memcpy(out + i, &value, kFrameBytes);
        frame = (frame + 1) % kFrames;
    }
}

void LoopingSoundBuffer::Play(std::uint8_t* out, std::uint32_t size) {
    const std::uint32_t whole = FrameFloor(size);
    const std::uint32_t position = PlayPosition();
    ReadAt(position, out, whole);
    if (whole < size) std::memset(out + whole, 0, size - whole);
    SetPlayPosition(position + whole);
}

}  // namespace kivo
