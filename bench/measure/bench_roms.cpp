// Writes the benchmark programs as cartridge files, for `kivo-run --benchmark`:
//
//     kivo_bench_roms DIR    writes DIR/workload.gb, busy_poll.gb, audible_poll.gb,
//                           halted_sound.gb and life.gb
#include <cstdio>
#include <string>
#include <vector>

#include "bench_programs.h"
#include "common/safe_file.h"

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
                {"busy_poll.gb", kivo::bench::BusyPollRom()},
                {"audible_poll.gb", kivo::bench::AudiblePollRom()},
                {"halted_sound.gb", kivo::bench::HaltedSoundRom()},
                {"life.gb", kivo::bench::LifeRom()}};
    for (const auto& r : roms) {
        const std::string path = dir + "/" + r.name;
        std::string error;
        if (!kivo::WriteFileSafely(path, r.rom.data(), r.rom.size(), &error)) {
            std::fprintf(stderr, "kivo_bench_roms: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
