#include "machine/stream_read.h"

#include <algorithm>

namespace kivo {

namespace {

// The bytes from the current position to the end, or 0 when the stream cannot seek (a pipe).
std::size_t BytesLeft(std::FILE* file) {
    const long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0) return 0;
    const long end = std::ftell(file);
    if (std::fseek(file, here, SEEK_SET) != 0 || end < here) return 0;
    return static_cast<std::size_t>(end - here);
}

}  // namespace

bool ReadStreamUpTo(std::FILE* file, std::size_t limit, std::vector<std::uint8_t>* out) {
    out->clear();
    // One byte more than the size taken, so that a file that has not grown ends the first read.
    const std::size_t left = BytesLeft(file);
    std::size_t chunk = left != 0 ? left + 1 : 0x8000;
    while (out->size() < limit) {
        const std::size_t want = std::min(chunk, limit - out->size());
        const std::size_t have = out->size();
        out->resize(have + want);
        const std::size_t got = std::fread(out->data() + have, 1, want, file);
        out->resize(have + got);
        if (got < want) return std::ferror(file) == 0;
        chunk *= 2;
    }
    return true;
}

}  // namespace kivo
