#include "host/wav_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "machine/layout.h"

namespace kivo {

namespace {

void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p + 2, v >> 16);
}

// The canonical 44-byte header of a PCM WAV file holding data_bytes bytes of samples.
void MakeHeader(std::uint8_t* h, std::uint32_t data_bytes) {
    constexpr std::uint32_t kBlockAlign = kWavChannels * kWavBitsPerSample / 8;
    std::memcpy(h, "RIFF", 4);
    Put32(h + 4, 36 + data_bytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    Put32(h + 16, 16);  // size of the format chunk
    Put16(h + 20, 1);   // PCM
    Put16(h + 22, kWavChannels);
    Put32(h + 24, kWavSampleRate);
    Put32(h + 28, kWavSampleRate * kBlockAlign);
    Put16(h + 32, kBlockAlign);
    Put16(h + 34, kWavBitsPerSample);
    std::memcpy(h + 36, "data", 4);
    Put32(h + 40, data_bytes);
}

// The RIFF sizes are 32-bit: about 13.5 hours of sound.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

}  // namespace

bool WavWriter::Open(const std::string& path, std::string* error) {
    blocks_ = 0;
    data_bytes_ = 0;
    write_errno_ = 0;
    finished_ = false;
    if (!temp_.Create(path, error)) return false;
    std::uint8_t header[kWavHeaderBytes];
    MakeHeader(header, 0);
    if (std::fwrite(header, 1, sizeof header, temp_.file()) != sizeof header) {
        write_errno_ = errno ? errno : EIO;
    }
    return true;
}

void WavWriter::StreamSoundBlock(const std::uint8_t* block) {
    if (!temp_.file() || write_errno_ != 0) return;
    ++blocks_;
    data_bytes_ += kBlockBytes;
    if (data_bytes_ > kMaxDataBytes) return;  // reported by Finish
    if (std::fwrite(block, 1, kBlockBytes, temp_.file()) != kBlockBytes) {
        write_errno_ = errno ? errno : EIO;
    }
}

void WavWriter::AppendPartialBlock(const std::uint8_t* frames, std::size_t bytes) {
    if (!temp_.file() || write_errno_ != 0 || bytes == 0) return;
    bytes = std::min<std::size_t>(bytes, kBlockBytes) & ~std::size_t{3};
    data_bytes_ += bytes;
    if (data_bytes_ > kMaxDataBytes) return;  // reported by Finish
    if (std::fwrite(frames, 1, bytes, temp_.file()) != bytes) write_errno_ = errno ? errno : EIO;
}

bool WavWriter::Finish(std::string* error) {
    if (finished_) return true;
    auto fail = [&](const std::string& reason) {
        temp_.Discard();
        if (error) *error = temp_.target() + ": " + reason;
        return false;
    };
    if (!temp_.file()) return fail("no recording open");
    if (write_errno_ != 0)
        return fail(std::string("cannot be written: ") + std::strerror(write_errno_));
    if (data_bytes_ > kMaxDataBytes) return fail("too much sound for one WAV file");
    std::uint8_t header[kWavHeaderBytes];
    MakeHeader(header, static_cast<std::uint32_t>(data_bytes_));
    if (std::fseek(temp_.file(), 0, SEEK_SET) != 0 ||
        std::fwrite(header, 1, sizeof header, temp_.file()) != sizeof header) {
        return fail(std::strerror(errno));
    }
    if (!temp_.Close(error)) return false;
    finished_ = true;
    return true;
}

bool WavWriter::Commit(std::string* error) {
    if (!Finish(error)) return false;
    return temp_.Commit(error);
}

}  // namespace kivo
