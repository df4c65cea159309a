// A sound output that keeps every block it is handed, in order, for tests to inspect.
#pragma once

#include <cstddef>
#include <cstdint>
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

    std::vector<std::uint8_t> bytes;
};

}  // namespace kivo
