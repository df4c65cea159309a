// Arbitrary INI text read into the options, as the window and kivo-run read it at start, then
// written back with the options' keys updated.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "ui/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kivo;
    static const std::string path = "/tmp/kivo-fuzz-ini-" + std::to_string(::getpid()) + ".INI";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    TGBSYSF& gb = fuzz::Machine();
    INIRead(gb, path);
    gb.UpdateFrameRatio();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::pair<std::string, std::string>> entries;
    for (const OptionDef& option : Options()) {
        std::string value;
        if (IniLookup(text, "OPTIONS", option.key, &value)) {
            i32 number = 0;
            ParseIniInteger(value, &number);
        }
        entries.emplace_back(option.key, std::to_string(option.get(gb)));
    }
    const std::string updated = IniUpdate(text, "OPTIONS", entries);
    // Every key written is read back with the value written.
    for (const auto& [key, value] : entries) {
        std::string read;
        if (!IniLookup(updated, "OPTIONS", key, &read) || read != value) __builtin_trap();
    }
    ::unlink(path.c_str());
    return 0;
}
