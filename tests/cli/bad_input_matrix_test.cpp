// Every file the program reads or writes, handed every kind of bad input: the ROM, state files,
// memory files, the INI file, the input script, the battery file and the runner's outputs. Each
// case expects one clear message naming the file on failure, a machine left as it was where a
// rejected file must not change it, no existing file damaged and no temporary file left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/kivo_run.h"
#include "support/rom_builder.h"
#include "ui/options.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<u8>;
using Action = std::function<bool(TGBSYSF&, const std::string&, std::string*)>;

// The kinds of input, as bits so that each reader lists the ones it accepts. kShort is half the
// valid bytes, kLonger the valid bytes and as many again.
enum In : unsigned {
    kMissing = 1 << 0,
    kEmpty = 1 << 1,
    kOneByte = 1 << 2,
    kShort = 1 << 3,
    kExact = 1 << 4,
    kLonger = 1 << 5,
    kDirectory = 1 << 6,
    kFifo = 1 << 7,
    kDevice = 1 << 8,
    kUnreadable = 1 << 9,
    kLongName = 1 << 10,
};
constexpr unsigned kAnyLength = kEmpty | kOneByte | kShort | kExact | kLonger | kLongName;

// The kinds of output, named by their number in a failure.
enum class Out {
    New,
    Existing,
    Directory,
    Fifo,
    DevNull,
    DevFull,
    NoFolder,
    ReadOnly,
    FullDisk,
    LongName
};

const std::string kPrevious = "previous contents";

bool IsRoot() {
    return ::geteuid() == 0;
}

// A 255-byte name, a space and two-byte characters: a temporary name made from it is cut between
// characters.
std::string LongName(const std::string& ext) {
    std::string name((255 - ext.size()) % 2 ? "a  " : "a ");
    while (name.size() < 255 - ext.size()) name += "\xc3\xa9";
    return name + ext;
}

Bytes Pattern(std::size_t size, u8 seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<u8>(i * 31 + seed + (i >> 8));
    return b;
}

Bytes Snapshot(const TGBSYSF& gb) {
    const auto* m = reinterpret_cast<const u8*>(&gb.memory);
    const auto* s = reinterpret_cast<const u8*>(&gb.state);
    Bytes b(m, m + kStateRegionsBytes);
    b.insert(b.end(), s, s + sizeof(GbState));
    return b;
}

// A machine running a battery-backed cartridge, so that a change by a rejected file would show.
std::unique_ptr<TGBSYSF> RunningMachine() {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x1B, .size_code = 1}));
    gb->RunSlice();
    return gb;
}

Bytes Of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

bool OneLineNaming(std::string message, const std::string& path) {
    if (!message.empty() && message.back() == '\n') message.pop_back();
    return !message.empty() && message.find('\n') == std::string::npos &&
           message.find(path) != std::string::npos;
}

class MatrixTest : public test::KivoRunTest {
  protected:
    // Places the input `in` for a file whose valid form is `exact`; returns its path.
    std::string Prepare(In in, const std::string& ext, const Bytes& exact) {
        const std::string name = in == kLongName ? ::kivo::LongName(ext) : "input" + ext;
        const std::string path = Path(name);
        const auto put = [&](std::size_t size) {
            Bytes bytes = exact;
            bytes.insert(bytes.end(), exact.begin(), exact.end());
            WriteText(name, std::string(bytes.begin(), bytes.begin() + size));
        };
        switch (in) {
            case kMissing: break;
            case kEmpty: put(0); break;
            case kOneByte: put(1); break;
            case kShort: put(exact.size() / 2); break;
            case kLonger: put(2 * exact.size()); break;
            case kDirectory: fs::create_directory(path); break;
            case kFifo: ::mkfifo(path.c_str(), 0666); break;
            case kDevice: Device(name, "/dev/zero", 5); break;
            default: put(exact.size()); break;
        }
        if (in == kUnreadable) fs::permissions(path, fs::perms::none);
        return path;
    }
    // Places the target for `out`; an existing file holds kPrevious.
    std::string Target(Out out, const std::string& ext) {
        std::string name = "output" + ext;
        switch (out) {
            case Out::Existing:
            case Out::FullDisk: WriteText(name, kPrevious); break;
            case Out::Directory: fs::create_directory(dir_ / name); break;
            case Out::Fifo: ::mkfifo(Path(name).c_str(), 0666); break;
            case Out::DevNull: Device(name, "/dev/null", 3); break;
            case Out::DevFull: Device(name, "/dev/full", 7); break;
            case Out::NoFolder: name = "no such folder/" + name; break;
            case Out::ReadOnly:
                fs::create_directory(dir_ / "locked");
                name = "locked/" + name;
                WriteText(name, kPrevious);
                fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
                break;
            case Out::LongName: name = ::kivo::LongName(ext); break;
            case Out::New: break;
        }
        return Path(name);
    }
    // What must still be there after a failed write: the node as it was, an old file whole.
    void ExpectUntouched(const std::string& path, fs::file_type type, const std::string& before) {
        EXPECT_EQ(fs::symlink_status(path).type(), type);
        if (type == fs::file_type::regular) {
            EXPECT_EQ(ReadText(fs::relative(path, dir_).string()), before);
        }
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    void Clear() {
        for (const auto& e : fs::recursive_directory_iterator(dir_)) {
            std::error_code ec;
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    // kivo-run with these options and the file; its stderr is the error. `full_disk` runs it
    // with a 1 KB limit on file sizes and SIGXFSZ ignored, so that a write fails as on a full
    // disk.
    Action Runner(const std::string& options, bool full_disk = false) {
        return [this, options, full_disk](TGBSYSF&, const std::string& path, std::string* error) {
            std::string command = Command(options) + " '" + path + "' >/dev/null 2>'" +
                                  Path("err.txt") + "' </dev/null";
            if (full_disk) command = "bash -c \"trap '' XFSZ; ulimit -f 1; " + command + "\"";
            const int raw = std::system(("timeout -s KILL 60 " + command).c_str());
            *error = ReadText("err.txt");
            fs::remove(Path("err.txt"));
            if (WIFEXITED(raw) && WEXITSTATUS(raw) == 0) return true;
            EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
            return false;
        };
    }
};

TEST_F(MatrixTest, Reads) {
    const struct {
        const char* kind;
        const char* ext;
        Bytes exact;
        unsigned ok;
        Action load;
    } cases[] = {
        {"ROM", ".gb", test::MakeRom(), kOneByte | kShort | kExact | kLonger | kLongName,
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return OpenRomFile(gb, p, e); }},
        {"state", ".kivostate", Pattern(kStateFileBytes, 3), kExact | kLongName,
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return LoadState(gb, p, e); }},
        {"XRAM file", ".kivoxram", Pattern(131072, 5), kAnyLength,
         [](TGBSYSF& gb, const std::string& p, std::string* e) {
             return LoadMemory(gb, MemoryRegion::XRAM, p, e);
         }},
        {"INI (--ini)", ".ini", Of("[OPTIONS]\nscreen_size=2\nsystem_type=1\n"), kAnyLength,
         Runner("--slices 1 --demo --ini")},
        // Half a script ends inside a line: "0 right down\n10 ri" is a malformed line.
        {"input script (--input)", ".txt", Of("0 right down\n10 right up\n20 a down\n"),
         kEmpty | kExact | kLonger | kLongName, Runner("--slices 1 --demo --input")},
    };
    for (const auto& c : cases) {
        for (unsigned bit = 0; (1u << bit) <= kLongName; ++bit) {
            const In in = static_cast<In>(1u << bit);
            Clear();
            SCOPED_TRACE(std::string(c.kind) + ", input kind 1 << " + std::to_string(bit));
            if (in == kUnreadable && IsRoot()) continue;
            const std::string path = Prepare(in, c.ext, c.exact);
            auto gb = RunningMachine();
            const Bytes before = Snapshot(*gb);
            std::string error;
            const bool ok = c.load(*gb, path, &error);
            EXPECT_EQ(ok, (c.ok & in) != 0) << error;
            if (!ok) {
                EXPECT_TRUE(OneLineNaming(error, path)) << error;
                // A rejected ROM leaves no cartridge open; anything else leaves the machine as
                // it was.
                EXPECT_TRUE(std::string(c.kind) == "ROM" ? !gb->rom_open : Snapshot(*gb) == before);
            }
            EXPECT_FALSE(TemporaryFileLeft());
        }
    }
}

TEST_F(MatrixTest, BatteryFileBesideARom) {
    // The battery file is one the user never named: whatever it is, the ROM opens; a file that
    // cannot be read is a warning naming it.
    const Bytes rom = test::MakeRom({.banks = 4, .type = 0x1B, .size_code = 1});
    for (unsigned bit = 0; (1u << bit) <= kLongName; ++bit) {
        const In in = static_cast<In>(1u << bit);
        Clear();
        SCOPED_TRACE("input kind 1 << " + std::to_string(bit));
        if (in == kUnreadable && IsRoot()) continue;
        const std::string battery = Prepare(in, ".kivoxram", Pattern(131072, 11));
        const std::string rom_path = fs::path(battery).replace_extension(".gb").string();
        std::ofstream(rom_path, std::ios::binary) << std::string(rom.begin(), rom.end());
        auto gb = std::make_unique<TGBSYSF>();
        std::string error, warning;
        EXPECT_TRUE(OpenRomFile(*gb, rom_path, &error, &warning)) << error;
        if (in & (kDirectory | kFifo | kDevice | kUnreadable)) {
            EXPECT_TRUE(OneLineNaming(warning, battery)) << warning;
        } else {
            EXPECT_EQ(warning, "");
        }
        if (in == kExact) {
            EXPECT_EQ(gb->memory.xram[1], Pattern(131072, 11)[1]);
        }
    }
}

TEST_F(MatrixTest, Writes) {
    const struct {
        const char* kind;
        const char* ext;
        Action write;
        bool runner = false;
    } cases[] = {
        {"VRAM file", ".kivovram",
         [](TGBSYSF& gb, const std::string& p, std::string* e) {
             return SaveMemory(gb, MemoryRegion::VRAM, p, e);
         }},
        {"INI file", ".INI",
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return INIWrite(gb, p, e); }},
        {"kivo-run --save-state", ".kivostate", nullptr, true},
        {"kivo-run --screenshot", ".png", nullptr, true},
        {"kivo-run --wav", ".wav", nullptr, true},
    };
    for (const auto& c : cases) {
        for (int k = 0; k <= static_cast<int>(Out::LongName); ++k) {
            const Out out = static_cast<Out>(k);
            Clear();
            SCOPED_TRACE(std::string(c.kind) + ", output kind " + std::to_string(k));
            // A full disk is made for the runner alone, whose outputs go through the same writes.
            if ((out == Out::ReadOnly && IsRoot()) || (out == Out::FullDisk && !c.runner)) continue;
            const std::string path = Target(out, c.ext);
            auto gb = RunningMachine();
            std::string error;
            const fs::file_type type = fs::symlink_status(path).type();
            const std::string before = type == fs::file_type::regular ? kPrevious : "";
            bool ok = false;
            if (c.runner) {
                const std::string option = std::string(c.kind).substr(9);
                ok = Runner("--demo --slices 4 " + option, out == Out::FullDisk)(*gb, path, &error);
            } else {
                ok = c.write(*gb, path, &error);
            }
            // The INI file is read before it is rewritten (its other sections are kept), so one
            // that is a device is refused like any unreadable INI file.
            const bool want = out == Out::New || out == Out::Existing || out == Out::LongName ||
                              (out == Out::DevNull && std::string(c.kind) != "INI file");
            EXPECT_EQ(ok, want) << error;
            if (!ok) {
                EXPECT_TRUE(OneLineNaming(error, path)) << error;
                ExpectUntouched(path, type, before);
            } else if (out != Out::DevNull) {
                EXPECT_GT(fs::file_size(path), 16u);
            }
            EXPECT_FALSE(TemporaryFileLeft());
        }
    }
}

}  // namespace
}  // namespace kivo
