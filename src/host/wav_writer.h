// A sound output that records every block it is handed into a WAV file: 22050 Hz, 16-bit
// signed, stereo, exactly the machine's sample format. The samples go to a temporary file beside
// the target while the machine runs; Finish completes the header and Commit renames the file
// over the target, so a failed or abandoned recording never leaves a partial WAV behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/safe_file.h"
#include "machine/host_interfaces.h"

namespace kivo {

inline constexpr int kWavSampleRate = 22050;
inline constexpr int kWavChannels = 2;
inline constexpr int kWavBitsPerSample = 16;
inline constexpr int kWavHeaderBytes = 44;

class WavWriter : public SoundOutput {
  public:
    // Creates the temporary file and writes a placeholder header. False, with a reason, when the
    // target's folder cannot take a file.
    bool Open(const std::string& path, std::string* error);
    // Appends one 8192-byte block. A write error is remembered and reported by Finish; later
    // blocks are dropped. Never waits beyond the file write itself.
    void StreamSoundBlock(const std::uint8_t* block) override;
    // Appends the frames mixed after the last complete block (a multiple of 4 bytes, less than
    // one block), so that the recording ends where the run ended.
    void AppendPartialBlock(const std::uint8_t* frames, std::size_t bytes);
    // Writes the final sizes into the header and closes the temporary file.
    bool Finish(std::string* error);
    // Renames the finished file over the target (Finish first when it has not run).
    bool Commit(std::string* error);
    // Drops the recording; the target is not touched.
    void Discard() { temp_.Discard(); }
    // True when the target is a device or FIFO, written in place at Commit.
    bool direct() const { return temp_.direct(); }

    std::uint64_t blocks() const { return blocks_; }
    std::uint64_t data_bytes() const { return data_bytes_; }

  private:
    TempFile temp_;
    std::uint64_t blocks_ = 0;
    std::uint64_t data_bytes_ = 0;
    int write_errno_ = 0;
    bool finished_ = false;
};

}  // namespace kivo
