// Every file the program reads or writes, handed every kind of bad input: the ROM, state files,
// memory files, the INI file, the input script and the runner's outputs. Each
// case expects one clear message naming the file on failure, a machine left as it was where a
// rejected file must not change it, no existing file damaged and no temporary file left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
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
using Action = std::function<bool(TGBSYSF&, const std::string&, std::string*)>;
using Kinds = std::vector<std::string>;

// The kinds of input: nodes that are no file, the valid bytes cut short or doubled, and the valid
// bytes under a 255-byte name or unreadable.
const Kinds kInputs = {"missing", "directory", "fifo",   "device",    "empty",     "one byte",
                       "half",    "exact",     "double", "long name", "unreadable"};
// The kinds of output; an existing file holds kPrevious.
const Kinds kOutputs = {"new",       "existing",  "directory", "fifo",      "/dev/null",
                        "/dev/full", "no folder", "read-only", "full disk", "long name"};
const std::string kPrevious = "previous contents";

bool Has(const Kinds& kinds, const std::string& kind) {
    return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

// A 255-byte name, a space and two-byte characters: a temporary name made from it is cut between
// characters.
std::string LongName(const std::string& ext) {
    std::string name((255 - ext.size()) % 2 ? "a  " : "a ");
    while (name.size() < 255 - ext.size()) name += "\xc3\xa9";
    return name + ext;
}

std::string Text(const std::vector<u8>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string Pattern(std::size_t size, u8 seed) {
    std::string b(size, '\0');
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<char>(i * 31 + seed + (i >> 8));
    return b;
}

std::string Snapshot(const TGBSYSF& gb) {
    return std::string(reinterpret_cast<const char*>(&gb.memory), kStateRegionsBytes) +
           std::string(reinterpret_cast<const char*>(&gb.state), sizeof(GbState));
}

// A machine running a battery-backed cartridge, so that a change by a rejected file would show.
std::unique_ptr<TGBSYSF> RunningMachine() {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x1B, .size_code = 1}));
    gb->RunSlice();
    return gb;
}

bool OneLineNaming(std::string message, const std::string& path) {
    if (!message.empty() && message.back() == '\n') message.pop_back();
    return !message.empty() && message.find('\n') == std::string::npos &&
           message.find(path) != std::string::npos;
}

class MatrixTest : public test::KivoRunTest {
  protected:
    // Places the input `in` for a file whose valid form is `exact`; returns its path.
    std::string Prepare(const std::string& in, const std::string& ext, const std::string& exact) {
        const std::string name = in == "long name" ? LongName(ext) : "input" + ext;
        const std::string path = Path(name);
        const std::size_t size = in == "empty"      ? 0
                                 : in == "one byte" ? 1
                                 : in == "half"     ? exact.size() / 2
                                 : in == "double"   ? 2 * exact.size()
                                                    : exact.size();
        if (in == "directory") fs::create_directory(path);
        if (in == "fifo") ::mkfifo(path.c_str(), 0666);
        if (in == "device") Device(name, "/dev/zero", 5);
        if (!Has({"missing", "directory", "fifo", "device"}, in)) {
            WriteText(name, (exact + exact).substr(0, size));
        }
        if (in == "unreadable") fs::permissions(path, fs::perms::none);
        return path;
    }
    // Places the target for `out`.
    std::string Target(const std::string& out, const std::string& ext) {
        std::string name = out == "long name"   ? LongName(ext)
                           : out == "no folder" ? "no such folder/output" + ext
                           : out == "read-only" ? "locked/output" + ext
                                                : "output" + ext;
        if (out == "read-only") fs::create_directory(dir_ / "locked");
        if (Has({"existing", "full disk", "read-only"}, out)) WriteText(name, kPrevious);
        if (out == "read-only") {
            fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        }
        if (out == "directory") fs::create_directory(dir_ / name);
        if (out == "fifo") ::mkfifo(Path(name).c_str(), 0666);
        if (out == "/dev/null") Device(name, "/dev/null", 3);
        if (out == "/dev/full") Device(name, "/dev/full", 7);
        return Path(name);
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
    // The runner is asked for its outputs too: a bad input must let none be written.
    const std::string kOutputsToo = "--slices 1 --demo --screenshot @o.png --wav @o.wav";
    const Kinds lengths = {"empty", "one byte", "half", "exact", "double", "long name"};
    const struct {
        const char* kind;
        const char* ext;
        std::string exact;
        Kinds ok;
        Action load;
    } cases[] = {
        {"ROM",
         ".gb",
         Text(test::MakeRom()),
         {"one byte", "half", "exact", "double", "long name"},
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return OpenRomFile(gb, p, e); }},
        {"state",
         ".kivostate",
         Pattern(kStateFileBytes, 3),
         {"exact", "long name"},
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return LoadState(gb, p, e); }},
        {"XRAM file", ".kivoxram", Pattern(131072, 5), lengths,
         [](TGBSYSF& gb, const std::string& p, std::string* e) {
             return LoadMemory(gb, MemoryRegion::XRAM, p, e);
         }},
        {"INI (--ini)", ".ini", "[OPTIONS]\nscreen_size=2\nsystem_type=1\n", lengths,
         Runner(kOutputsToo + " --ini")},
        // Half a script ends inside a line: "0 right down\n10 ri" is a malformed line.
        {"input script (--input)",
         ".txt",
         "0 right down\n10 right up\n20 a down\n",
         {"empty", "exact", "double", "long name"},
         Runner(kOutputsToo + " --input")},
    };
    for (const auto& c : cases) {
        for (const std::string& in : kInputs) {
            Clear();
            SCOPED_TRACE(std::string(c.kind) + ", " + in);
            if (in == "unreadable" && ::geteuid() == 0) continue;
            const std::string path = Prepare(in, c.ext, c.exact);
            auto gb = RunningMachine();
            const std::string before = Snapshot(*gb);
            std::string error;
            const std::size_t files = FileCount();
            const bool ok = c.load(*gb, path, &error);
            EXPECT_EQ(ok, Has(c.ok, in)) << error;
            if (!ok) {
                EXPECT_TRUE(OneLineNaming(error, path)) << error;
                EXPECT_EQ(FileCount(), files);
                // A rejected ROM leaves no cartridge open; anything else leaves the machine as
                // it was.
                EXPECT_TRUE(std::string(c.kind) == "ROM" ? !gb->rom_open : Snapshot(*gb) == before);
            }
            EXPECT_FALSE(TemporaryFileLeft());
        }
    }
}

TEST_F(MatrixTest, Writes) {
    const struct {
        const char* kind;
        const char* ext;
        Action write;
    } cases[] = {
        {"VRAM file", ".kivovram",
         [](TGBSYSF& gb, const std::string& p, std::string* e) {
             return SaveMemory(gb, MemoryRegion::VRAM, p, e);
         }},
        {"INI file", ".INI",
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return INIWrite(gb, p, e); }},
        // kivo-run's outputs.
        {"--save-state", ".kivostate", nullptr},
        {"--screenshot", ".png", nullptr},
        {"--wav", ".wav", nullptr},
    };
    for (const auto& c : cases) {
        for (const std::string& out : kOutputs) {
            Clear();
            SCOPED_TRACE(std::string(c.kind) + ", " + out);
            // A full disk is made for the runner alone, whose outputs go through the same writes.
            if ((out == "read-only" && ::geteuid() == 0) || (out == "full disk" && c.write)) {
                continue;
            }
            const std::string path = Target(out, c.ext);
            auto gb = RunningMachine();
            std::string error;
            const fs::file_type type = fs::symlink_status(path).type();
            const std::string before =
                type == fs::file_type::regular ? ReadText(fs::relative(path, dir_)) : "";
            // The runner writes its other outputs too (but on a full disk): none may be written if
            // one fails.
            std::string line = "--demo --slices 4";
            for (const std::string o :
                 {"--save-state @o.kivostate", "--screenshot @o.png", "--wav @o.wav"})
                if (o.find(c.kind) != 0 && out != "full disk") line += " " + o;
            const Action write =
                c.write ? c.write : Runner(line + " " + c.kind, out == "full disk");
            const std::size_t files = FileCount();
            const bool ok = write(*gb, path, &error);
            // The INI file is read before it is rewritten (its other sections are kept), so one
            // that is a device is refused like any unreadable INI file.
            EXPECT_EQ(ok, Has({"new", "existing", "long name"}, out) ||
                              (out == "/dev/null" && std::string(c.kind) != "INI file"))
                << error;
            if (!ok) {
                // The node as it was, an old file whole, the system's devices still devices.
                EXPECT_TRUE(OneLineNaming(error, path)) << error;
                EXPECT_EQ(fs::symlink_status(path).type(), type);
                EXPECT_EQ(FileCount(), files);
                if (!before.empty()) {
                    EXPECT_EQ(ReadText(fs::relative(path, dir_)), before);
                }
                EXPECT_TRUE(fs::is_character_file("/dev/null") &&
                            fs::is_character_file("/dev/full"));
            } else if (out != "/dev/null") {
                EXPECT_GT(fs::file_size(path), 16u);
            }
            EXPECT_FALSE(TemporaryFileLeft());
        }
    }
}

}  // namespace
}  // namespace kivo
