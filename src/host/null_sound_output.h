// The sound output of runs without a window or a recording: it drops every block, so nothing
// paces the machine.
#pragma once

#include <cstdint>

#include "machine/host_interfaces.h"

namespace kivo {

class NullSoundOutput : public SoundOutput {
  public:
    void StreamSoundBlock(const std::uint8_t*) override { ++blocks_; }
    std::uint64_t blocks() const { return blocks_; }

  private:
    std::uint64_t blocks_ = 0;
};

}  // namespace kivo
