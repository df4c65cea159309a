// Arbitrary bytes opened as a ROM and run for four slices (a quarter of a console second).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kivo;
    if (!fuzz::OpenImage(std::vector<std::uint8_t>(data, data + size))) return 0;
    for (int i = 0; i < 4; ++i) fuzz::Machine().RunSlice();
    return 0;
}
