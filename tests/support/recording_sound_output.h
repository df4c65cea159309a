// A sound output that keeps every block it is handed, in order, for tests to inspect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "machine/host_interfaces.h"
#include "machine/layout.h"

namespace kivo {

class RecordingSoundOutput : public SoundOutput {
  public:
    void StreamSoundBlock(const std::uint8_t* block) override {
        bytes.insert(bytes.end(), block, block + kBlockBytes);
    }

    std::size_t BlockCount() const { return bytes.size() / kBlockBytes; }
    // Sample `channel` (0 left, 1 right) of stereo frame `frame`, counted over all blocks.
    std::int16_t Sample(std::size_t frame, int channel) const {
        std::int16_t value;
        std::memcpy(&value, bytes.data() + frame * 4 + static_cast<std::size_t>(channel) * 2, 2);
        return value;
    }

    std::vector<std::uint8_t> bytes;
};

}  // namespace kivo
