// Arbitrary bytes loaded as a state over the running demo cartridge, then four slices. An input
// of exactly the state size is loaded as it is; any other input is laid over a real state (its
// first 1404 bytes over the end of the file: OAM, the I/O page and the machine's registers, the
// rest from the start: work and cartridge RAM), so that most inputs reach the run.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "ui/state_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kivo;
    static const std::vector<std::uint8_t> base = [] {
        fuzz::OpenImage(fuzz::DemoImage());
        for (int i = 0; i < 8; ++i) fuzz::Machine().RunSlice();
        return StateFileImage(fuzz::Machine());
    }();
    fuzz::OpenImage(fuzz::DemoImage());
    TGBSYSF& gb = fuzz::Machine();
    gb.RunSlice();
    std::vector<std::uint8_t> image(data, data + size);
    if (size != kStateFileBytes) {
        // A file of the wrong size is refused and changes nothing.
        if (LoadStateImage(gb, image, "fuzz.kivostate", nullptr)) __builtin_trap();
        image = base;
        constexpr std::size_t kTail = 1404;  // OAM, I/O page and GbState
        const std::size_t tail = std::min(size, kTail);
        std::memcpy(image.data() + kStateFileBytes - kTail, data, tail);
        const std::size_t head = std::min(size - tail, kStateFileBytes - kTail);
        if (head != 0) std::memcpy(image.data(), data + tail, head);
    }
    if (!LoadStateImage(gb, image, "fuzz.kivostate", nullptr)) __builtin_trap();
    for (int i = 0; i < 4; ++i) gb.RunSlice();
    return 0;
}
