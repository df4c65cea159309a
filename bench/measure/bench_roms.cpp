// Writes the benchmark programs as cartridge files, for `kivo-run --benchmark`:
//
//     kivo_bench_roms DIR    writes DIR/workload.gb and DIR/busy_poll.gb
#include <cstdio>
#include <string>
#include <vector>

#include "bench_programs.h"

namespace {

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0) && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kivo_bench_roms DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const struct {
        const char* name;
        std::vector<std::uint8_t> rom;
    } roms[] = {{"workload.gb", kivo::bench::WorkloadRom()},
                {"busy_poll.gb", kivo::bench::BusyPollRom()}};
    for (const auto& r : roms) {
        const std::string path = dir + "/" + r.name;
        if (!WriteFile(path, r.rom)) {
            std::fprintf(stderr, "kivo_bench_roms: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
