// Compares what reached the sound device with what the machine produced: a raw recording of the
// device's stream (SDL's disk driver: 22050 Hz, 16-bit signed, stereo) against the runner's WAV of
// the same cartridge.
//
//   kivo_sound_compare REFERENCE.wav|REFERENCE.raw RECORDING.raw [MIN_INTACT_PERCENT]
//
// The reference may also be the raw blocks the window handed to its sound output
// (KIVO_SOUND_TEE), for a run that someone plays.
// - Every non-silent 512-frame chunk of the reference, from its first sound to where the
//   recording ends, is looked for in the recording in order, near where the chunk before it was
//   found (or further on, after a gap). A chunk is intact where it differs from the recording by
//   at most 10% of its own swing: the small resampling that holds the device's fill level is
//   allowed for, a hole or a stretch of other sound is not.
// - A stale replay is a non-silent run of 256 frames or more that equals the stream exactly one
//   ring length (32768 frames) earlier: sound from a lap before, played again.
//
// Prints the figures; exits 0 when at least MIN_INTACT_PERCENT (default 99) of the chunks are
// intact and no stale replay was found, 1 otherwise, 2 on a usage or file error.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kChunk = 512;
constexpr std::size_t kRing = 32768;
constexpr std::size_t kStaleRun = 256;
constexpr long kNear = 96;           // frames either side of where a chunk is expected
constexpr long kFar = 22050;         // how far on a chunk is looked for after a miss
constexpr double kTolerance = 0.10;  // of the chunk's swing

struct Frame {
    std::int16_t left, right;
    bool operator==(const Frame&) const = default;
    bool silent() const { return left == 0 && right == 0; }
};

bool ReadFrames(const char* path, std::size_t skip, std::vector<Frame>* frames) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() < skip) return false;
    frames->resize((bytes.size() - skip) / sizeof(Frame));
    std::copy_n(bytes.begin() + static_cast<long>(skip), frames->size() * sizeof(Frame),
                reinterpret_cast<char*>(frames->data()));
    return true;
}

bool Quiet(const std::vector<Frame>& frames, std::size_t at) {
    return std::all_of(frames.begin() + static_cast<long>(at),
                       frames.begin() + static_cast<long>(at + kChunk),
                       [](const Frame& f) { return f.silent(); });
}

// A chunk of the reference as the device would play it resampled by `ratio` (frames out per
// frame in) from `phase` frames into it, with what a match may differ by.
struct Chunk {
    std::vector<double> left, right;
    double budget;  // largest summed absolute difference that still counts as intact
};

Chunk MakeChunk(const std::vector<Frame>& ref, std::size_t at, double ratio, double phase) {
    Chunk c;
    double mean_left = 0, mean_right = 0, swing = 0;
    for (std::size_t i = 0; i < kChunk; ++i) {
        const double p = static_cast<double>(at) + phase + static_cast<double>(i) / ratio;
        const auto k = std::min(static_cast<std::size_t>(p), ref.size() - 2);
        const double f = p - static_cast<double>(k);
        c.left.push_back(ref[k].left + (ref[k + 1].left - ref[k].left) * f);
        c.right.push_back(ref[k].right + (ref[k + 1].right - ref[k].right) * f);
        mean_left += c.left.back() / kChunk;
        mean_right += c.right.back() / kChunk;
    }
    for (std::size_t i = 0; i < kChunk; ++i) {
        swing += std::fabs(c.left[i] - mean_left) + std::fabs(c.right[i] - mean_right);
    }
    // A chunk of a steady level still has to match that level.
    c.budget = kTolerance * std::fmax(swing, kChunk * 2 * 64.0);
    return c;
}

// The reference chunk at every resampling the stream may apply (up to 1.2% either way) and at
// four phases between two frames.
std::vector<Chunk> Candidates(const std::vector<Frame>& ref, std::size_t at) {
    std::vector<Chunk> chunks;
    if (at + kChunk * 2 + 2 > ref.size()) return chunks;
    for (int r = 0; r <= 24; ++r) {
        const double ratio = 1 + (r % 2 ? 1 : -1) * 0.001 * ((r + 1) / 2);  // 1 first, then out
        for (const double phase : {0.0, 0.25, 0.5, 0.75}) {
            chunks.push_back(MakeChunk(ref, at, ratio, phase));
        }
    }
    return chunks;
}

// The summed difference at offset, or -1 once it is past the budget.
double Difference(const Chunk& chunk, const std::vector<Frame>& rec, std::size_t offset) {
    double sum = 0;
    for (std::size_t i = 0; i < kChunk && sum <= chunk.budget; ++i) {
        const Frame& b = rec[offset + i];
        sum += std::fabs(chunk.left[i] - b.left) + std::fabs(chunk.right[i] - b.right);
    }
    return sum > chunk.budget ? -1 : sum;
}

struct Match {
    long offset = -1;
    double difference = 0;
};

// The best offset in [from, to) where some candidate is intact.
Match Find(const std::vector<Chunk>& chunks, const std::vector<Frame>& rec, long from, long to) {
    Match best;
    if (rec.size() < kChunk) return best;
    to = std::min(to, static_cast<long>(rec.size() - kChunk) + 1);
    for (long o = std::max(from, 0L); o < to; ++o) {
        for (const Chunk& chunk : chunks) {
            const double sum = Difference(chunk, rec, static_cast<std::size_t>(o));
            if (sum >= 0 && (best.offset < 0 || sum < best.difference)) best = {o, sum};
        }
        if (best.offset >= 0 && best.difference == 0) break;
    }
    return best;
}

std::size_t StaleRuns(const std::vector<Frame>& rec) {
    std::size_t runs = 0, run = 0, loud = 0;
    for (std::size_t p = kRing; p <= rec.size(); ++p) {
        if (p < rec.size() && rec[p] == rec[p - kRing]) {
            ++run;
            loud += !rec[p].silent();
        } else {
            runs += run >= kStaleRun && loud * 2 >= run;
            run = loud = 0;
        }
    }
    return runs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kivo_sound_compare REFERENCE.wav RECORDING.raw [MIN%%]\n");
        return 2;
    }
    const double min_percent = argc > 3 ? std::atof(argv[3]) : 99;
    std::vector<Frame> ref, rec;
    const bool wav = std::string(argv[1]).ends_with(".wav");
    if (!ReadFrames(argv[1], wav ? 44 : 0, &ref) || !ReadFrames(argv[2], 0, &rec)) {
        std::fprintf(stderr, "kivo_sound_compare: cannot read the files\n");
        return 2;
    }
    std::size_t first = 0;
    while (first + kChunk <= ref.size() && Quiet(ref, first)) first += kChunk;

    std::size_t total = 0, intact = 0;
    long expected = -1;  // where the next chunk should start in the recording
    for (std::size_t at = first; at + kChunk <= ref.size(); at += kChunk) {
        // The recording stopped somewhere in the reference: count up to a block before its end.
        if (expected >= 0 &&
            expected + static_cast<long>(kChunk + 2048) > static_cast<long>(rec.size())) {
            break;
        }
        Match found;
        if (!Quiet(ref, at)) {
            const std::vector<Chunk> chunks = Candidates(ref, at);
            if (chunks.empty()) break;
            ++total;
            found = expected < 0 ? Find(chunks, rec, 0, static_cast<long>(rec.size()))
                                 : Find(chunks, rec, expected - kNear, expected + kNear + 1);
            if (found.offset < 0 && expected >= 0) {
                found = Find(chunks, rec, expected + kNear + 1, expected + kFar);
            }
            intact += found.offset >= 0;
        }
        if (found.offset >= 0) {
            expected = found.offset + static_cast<long>(kChunk);
        } else if (expected >= 0) {
            expected += kChunk;
        }
    }
    const std::size_t stale = StaleRuns(rec);
    const double percent = total ? 100.0 * intact / total : 0;
    std::printf(
        "chunks: %zu of %zu intact (%.1f%%); stale replays: %zu; recording %.2f s, "
        "reference %.2f s\n",
        intact, total, percent, stale, rec.size() / 22050.0, ref.size() / 22050.0);
    return total > 0 && percent >= min_percent && stale == 0 ? 0 : 1;
}
