// Writes the binary seed corpora of the fuzz targets into the folder given: the demo cartridge
// and a tiny one for fuzz_rom and fuzz_debugger, a state of the running demo (whole, and its last
// 1404 bytes) for fuzz_state. The text seeds (INI files, scripts, command lines) are in
// fuzz/seeds/.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/demo_rom.h"
#include "machine/gbsys.h"
#include "ui/state_files.h"

namespace {

namespace fs = std::filesystem;

bool Put(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kivo;
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    const fs::path out = argv[1];
    const auto rom = demo::DemoRom();
    const std::vector<std::uint8_t> demo(rom.begin(), rom.end());
    // A 32 KB cartridge that loops on a HALT with the V-blank interrupt on.
    std::vector<std::uint8_t> tiny(0x8000, 0x00);
    const std::uint8_t program[] = {0x3E, 0x01, 0xE0, 0xFF, 0xFB, 0x76, 0x18, 0xFD};
    std::copy(std::begin(program), std::end(program), tiny.begin() + 0x100);
    tiny[0x147] = 0x00;

    auto gb = std::make_unique<TGBSYSF>();
    gb->noise_seed_source = [] { return 0u; };
    gb->OpenRomImage(demo, "demo.gb", nullptr);
    for (int i = 0; i < 20; ++i) gb->RunSlice();
    const std::vector<std::uint8_t> state = StateFileImage(*gb);
    const std::vector<std::uint8_t> tail(state.end() - 1404, state.end());

    const bool ok =
        Put(out / "rom" / "demo.gb", demo) && Put(out / "rom" / "tiny.gb", tiny) &&
        Put(out / "debugger" / "demo.gb", demo) && Put(out / "debugger" / "tiny.gb", tiny) &&
        Put(out / "state" / "demo.kivostate", state) && Put(out / "state" / "registers.bin", tail);
    if (!ok) std::fprintf(stderr, "make_seeds: cannot write into %s\n", argv[1]);
    return ok ? 0 : 1;
}
