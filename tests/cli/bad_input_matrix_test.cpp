// Every file the program reads or writes, handed every kind of bad input: the ROM, state files,
// the three memory files, the INI file, the battery file and the runner's outputs. Each case
// expects one clear message naming the file on failure, a machine left as it was where a rejected
// file must not change it, no existing file damaged and no temporary file left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
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

enum class In {
    Missing,
    Empty,
    OneByte,
    Short,
    Exact,
    Longer,
    Directory,
    Fifo,
    Device,
    Unreadable,
    SpacesNonAscii,
    LongName
};

const char* Name(In in) {
    static const char* names[] = {"missing",
                                  "empty",
                                  "one byte",
                                  "short",
                                  "exact",
                                  "longer",
                                  "directory",
                                  "FIFO",
                                  "device",
                                  "unreadable",
                                  "spaces and non-ASCII",
                                  "255-byte name"};
    return names[static_cast<int>(in)];
}

constexpr In kAllInputs[] = {In::Missing, In::Empty,      In::OneByte,        In::Short,
                             In::Exact,   In::Longer,     In::Directory,      In::Fifo,
                             In::Device,  In::Unreadable, In::SpacesNonAscii, In::LongName};

bool IsRoot() {
    return ::geteuid() == 0;
}

class MatrixTest : public test::KivoRunTest {
  protected:
    // Places the input `in` for a file whose valid form is `exact`, named `stem` + `ext`; returns
    // its path. "short" is half the valid bytes, "longer" the valid bytes and as many again.
    std::string Prepare(In in, const std::string& stem, const std::string& ext,
                        const Bytes& exact) {
        std::string name = stem + ext;
        if (in == In::SpacesNonAscii) {
            fs::create_directories(dir_ / "a folder é");
            name = "a folder é/ü name 名前" + ext;
        } else if (in == In::LongName) {
            name = std::string(255 - ext.size(), 'L') + ext;
        }
        const std::string path = Path(name);
        const auto put = [&](const Bytes& bytes) {
            WriteText(name, std::string(bytes.begin(), bytes.end()));
        };
        switch (in) {
            case In::Missing: break;
            case In::Empty: put({}); break;
            case In::OneByte: put(Bytes(exact.begin(), exact.begin() + 1)); break;
            case In::Short: put(Bytes(exact.begin(), exact.begin() + exact.size() / 2)); break;
            case In::Longer: {
                Bytes longer = exact;
                longer.insert(longer.end(), exact.begin(), exact.end());
                put(longer);
                break;
            }
            case In::Directory: fs::create_directory(path); break;
            case In::Fifo: ::mkfifo(path.c_str(), 0666); break;
            case In::Device:
                // A device node where one can be made, else a link to one.
                if (!IsRoot() || ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 5)) != 0) {
                    fs::create_symlink("/dev/zero", path);
                }
                break;
            case In::Unreadable:
                put(exact);
                fs::permissions(path, fs::perms::none);
                break;
            default: put(exact); break;
        }
        return path;
    }
    void Clear() {
        for (const auto& e : fs::recursive_directory_iterator(dir_)) {
            std::error_code ec;
            fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
};

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

// A machine running a cartridge, so that a change by a rejected file would show.
std::unique_ptr<TGBSYSF> RunningMachine() {
    auto gb = std::make_unique<TGBSYSF>();
    test::OpenImage(*gb, test::MakeRom({.banks = 4, .type = 0x1B, .size_code = 1}));
    gb->RunSlice();
    gb->RunSlice();
    return gb;
}

bool OneLineNaming(const std::string& message, const std::string& path) {
    return !message.empty() && message.find('\n') == std::string::npos &&
           message.find(path) != std::string::npos;
}

// Reads through the functions the window and the runner share. ok_inputs lists the inputs that
// load; every other one must be refused and leave the machine exactly as it was.
struct ReadCase {
    const char* kind;
    const char* ext;
    Bytes exact;
    std::vector<In> ok_inputs;
    std::function<bool(TGBSYSF&, const std::string&, std::string*)> load;
};

TEST_F(MatrixTest, Reads) {
    const std::vector<In> memory_ok = {In::Empty,  In::OneByte,        In::Short,   In::Exact,
                                       In::Longer, In::SpacesNonAscii, In::LongName};
    const auto memory = [](MemoryRegion r) {
        return [r](TGBSYSF& gb, const std::string& p, std::string* e) {
            return LoadMemory(gb, r, p, e);
        };
    };
    const std::vector<ReadCase> cases = {
        {"ROM",
         ".gb",
         test::MakeRom(),
         {In::OneByte, In::Short, In::Exact, In::Longer, In::SpacesNonAscii, In::LongName},
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return OpenRomFile(gb, p, e); }},
        {"state",
         ".kivostate",
         Pattern(kStateFileBytes, 3),
         {In::Exact, In::SpacesNonAscii, In::LongName},
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return LoadState(gb, p, e); }},
        {"XRAM file", ".kivoxram", Pattern(131072, 5), memory_ok, memory(MemoryRegion::XRAM)},
        {"VRAM file", ".kivovram", Pattern(16384, 7), memory_ok, memory(MemoryRegion::VRAM)},
        {"WRAM file", ".kivowram", Pattern(32768, 9), memory_ok, memory(MemoryRegion::WRAM)},
    };
    for (const ReadCase& c : cases) {
        for (const In in : kAllInputs) {
            Clear();
            const std::string trace = std::string(c.kind) + ", " + Name(in);
            SCOPED_TRACE(trace);
            if (in == In::Unreadable && IsRoot()) continue;
            const std::string path = Prepare(in, "input", c.ext, c.exact);
            auto gb = RunningMachine();
            const Bytes before = Snapshot(*gb);
            std::string error;
            const bool ok = c.load(*gb, path, &error);
            const bool want = std::count(c.ok_inputs.begin(), c.ok_inputs.end(), in) != 0;
            EXPECT_EQ(ok, want) << error;
            if (!ok) {
                EXPECT_TRUE(OneLineNaming(error, path)) << error;
                // A rejected ROM leaves no cartridge open; anything else leaves the machine as
                // it was.
                if (std::string(c.kind) == "ROM") {
                    EXPECT_FALSE(gb->rom_open);
                } else {
                    EXPECT_TRUE(Snapshot(*gb) == before);
                }
            }
            EXPECT_FALSE(TemporaryFileLeft());
        }
    }
}

TEST_F(MatrixTest, BatteryFileBesideARom) {
    // The battery file is one the user never named: whatever it is, the ROM opens; a file that
    // cannot be read is a warning naming it.
    const Bytes rom = test::MakeRom({.banks = 4, .type = 0x1B, .size_code = 1});
    const std::vector<In> warned = {In::Directory, In::Fifo, In::Device, In::Unreadable};
    for (const In in : kAllInputs) {
        Clear();
        SCOPED_TRACE(Name(in));
        if (in == In::Unreadable && IsRoot()) continue;
        const std::string battery = Prepare(in, "game", ".kivoxram", Pattern(131072, 11));
        const std::string rom_path = fs::path(battery).replace_extension(".gb").string();
        std::ofstream(rom_path, std::ios::binary) << std::string(rom.begin(), rom.end());
        auto gb = std::make_unique<TGBSYSF>();
        std::string error, warning;
        const bool opened = OpenRomFile(*gb, rom_path, &error, &warning);
        EXPECT_TRUE(opened) << error;
        const bool want_warning = std::count(warned.begin(), warned.end(), in) != 0;
        EXPECT_EQ(!warning.empty(), want_warning) << warning;
        if (want_warning) {
            EXPECT_TRUE(OneLineNaming(warning, battery)) << warning;
        }
        if (in == In::Exact) {
            EXPECT_EQ(gb->memory.xram[1], Pattern(131072, 11)[1]);
        }
        gb->CloseRom();  // the battery save on close is covered by the writes
    }
}

TEST_F(MatrixTest, RunnerInputs) {
    // The INI file, the input script and the ROM through kivo-run: exit 1 and one stderr line.
    struct RunnerInput {
        const char* kind;
        const char* option;
        const char* ext;
        Bytes exact;
        std::vector<In> ok_inputs;
    };
    const std::string ini = "[OPTIONS]\nscreen_size=2\nsystem_type=1\n";
    const std::string script = "0 right down\n10 right up\n20 a down\n";
    const std::vector<In> text_ok = {In::Empty,  In::OneByte,        In::Short,   In::Exact,
                                     In::Longer, In::SpacesNonAscii, In::LongName};
    const std::vector<RunnerInput> inputs = {
        {"INI (--ini)", "--demo --ini", ".ini", Bytes(ini.begin(), ini.end()), text_ok},
        // Half a script ends inside a line: "0 right down\n10 ri" is a malformed line.
        {"input script (--input)",
         "--demo --input",
         ".txt",
         Bytes(script.begin(), script.end()),
         {In::Empty, In::Exact, In::Longer, In::SpacesNonAscii, In::LongName}},
        {"ROM (kivo-run)",
         "",
         ".gb",
         test::MakeRom(),
         {In::OneByte, In::Short, In::Exact, In::Longer, In::SpacesNonAscii, In::LongName}},
    };
    for (const RunnerInput& c : inputs) {
        for (const In in : kAllInputs) {
            Clear();
            SCOPED_TRACE(std::string(c.kind) + ", " + Name(in));
            if (in == In::Unreadable && IsRoot()) continue;
            const std::string path = Prepare(in, "input", c.ext, c.exact);
            // The path goes through the shell quoted; spaces survive.
            const std::string quoted = "'" + path + "'";
            const std::string command =
                "timeout -s KILL 60 " + Command("--slices 1 " + std::string(c.option)) + " " +
                quoted + " >/dev/null 2>'" + Path("err.txt") + "' </dev/null";
            const int raw = std::system(command.c_str());
            const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            const std::string err = ReadText("err.txt");
            fs::remove(Path("err.txt"));
            const bool want = std::count(c.ok_inputs.begin(), c.ok_inputs.end(), in) != 0;
            EXPECT_EQ(status, want ? 0 : 1) << err;
            if (status == 1) {
                EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
                EXPECT_NE(err.find(path), std::string::npos) << err;
            }
            EXPECT_FALSE(TemporaryFileLeft());
        }
    }
}

enum class Out {
    New,
    Existing,
    Directory,
    Fifo,
    DevNull,
    DevFull,
    MissingFolder,
    ReadOnlyFolder,
    FullDisk,
    SpacesNonAscii,
    LongName
};

const char* Name(Out out) {
    static const char* names[] = {"new file",
                                  "existing file",
                                  "directory",
                                  "FIFO, no reader",
                                  "link to a null device",
                                  "link to a full device",
                                  "missing folder",
                                  "read-only folder",
                                  "full disk",
                                  "spaces and non-ASCII",
                                  "255-byte name"};
    return names[static_cast<int>(out)];
}

constexpr Out kAllOutputs[] = {
    Out::New,      Out::Existing,       Out::Directory,     Out::Fifo,
    Out::DevNull,  Out::DevFull,        Out::MissingFolder, Out::ReadOnlyFolder,
    Out::FullDisk, Out::SpacesNonAscii, Out::LongName};

bool WriteSucceeds(Out out) {
    return out == Out::New || out == Out::Existing || out == Out::DevNull ||
           out == Out::SpacesNonAscii || out == Out::LongName;
}

// The INI file is read before it is rewritten (its other sections are kept), so one that is a
// device is refused like any unreadable INI file.
bool WriteSucceeds(const std::string& kind, Out out) {
    return WriteSucceeds(out) && !(kind == "INI file" && out == Out::DevNull);
}

const std::string kPrevious = "previous contents";

class WriteMatrixTest : public MatrixTest {
  protected:
    // Places the target for `out`; an existing file holds kPrevious.
    std::string Target(Out out, const std::string& ext) {
        std::string name = "output" + ext;
        switch (out) {
            case Out::Existing:
            case Out::FullDisk: WriteText(name, kPrevious); break;
            case Out::Directory: fs::create_directory(dir_ / name); break;
            case Out::Fifo: ::mkfifo(Path(name).c_str(), 0666); break;
            // Devices of the test folder as root, else the system's (see Device).
            case Out::DevNull:
                fs::create_symlink(Device("null", "/dev/null", 3), dir_ / name);
                break;
            case Out::DevFull:
                fs::create_symlink(Device("full", "/dev/full", 7), dir_ / name);
                break;
            case Out::MissingFolder: name = "no such folder/" + name; break;
            case Out::ReadOnlyFolder:
                fs::create_directory(dir_ / "locked");
                name = "locked/" + name;
                WriteText(name, kPrevious);
                fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
                break;
            case Out::SpacesNonAscii:
                fs::create_directories(dir_ / "a folder é");
                name = "a folder é/ü name 名前" + ext;
                break;
            case Out::LongName: name = std::string(255 - ext.size(), 'L') + ext; break;
            case Out::New: break;
        }
        return Path(name);
    }
    // What must still be there after a failed write.
    void ExpectUntouched(Out out, const std::string& path) {
        switch (out) {
            case Out::FullDisk:
            case Out::ReadOnlyFolder:
                EXPECT_EQ(ReadText(fs::relative(path, dir_).string()), kPrevious);
                break;
            case Out::Directory: EXPECT_TRUE(fs::is_directory(path)); break;
            case Out::Fifo: EXPECT_TRUE(fs::is_fifo(path)); break;
            case Out::DevNull:
            case Out::DevFull:
                EXPECT_TRUE(fs::is_symlink(fs::symlink_status(path)));
                EXPECT_TRUE(fs::is_character_file(path));
                break;
            case Out::MissingFolder: EXPECT_FALSE(fs::exists(fs::path(path).parent_path())); break;
            default: break;
        }
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
        EXPECT_FALSE(TemporaryFileLeft());
    }
    static bool Skipped(Out out) { return out == Out::ReadOnlyFolder && IsRoot(); }
};

// A full disk: writes past `bytes` fail with EFBIG, as ENOSPC would, instead of a signal.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, handler_);
    }

  private:
    rlimit saved_{};
    void (*handler_)(int) = nullptr;
};

TEST_F(WriteMatrixTest, WindowSaves) {
    struct WriteCase {
        const char* kind;
        const char* ext;
        std::function<bool(TGBSYSF&, const std::string&, std::string*)> save;
    };
    const auto memory = [](MemoryRegion r) {
        return [r](TGBSYSF& gb, const std::string& p, std::string* e) {
            return SaveMemory(gb, r, p, e);
        };
    };
    const std::vector<WriteCase> cases = {
        {"state", ".kivostate",
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return SaveState(gb, p, e); }},
        {"XRAM file", ".kivoxram", memory(MemoryRegion::XRAM)},
        {"VRAM file", ".kivovram", memory(MemoryRegion::VRAM)},
        {"WRAM file", ".kivowram", memory(MemoryRegion::WRAM)},
        {"INI file", ".INI",
         [](TGBSYSF& gb, const std::string& p, std::string* e) { return INIWrite(gb, p, e); }},
        // The battery save on closing a battery-backed ROM whose name gives the target's.
        {"battery file", ".kivoxram",
         [](TGBSYSF& gb, const std::string&, std::string* e) { return CloseRomFile(gb, e); }},
    };
    const Bytes rom = test::MakeRom({.banks = 4, .type = 0x1B, .size_code = 1});
    for (const WriteCase& c : cases) {
        for (const Out out : kAllOutputs) {
            Clear();
            SCOPED_TRACE(std::string(c.kind) + ", " + Name(out));
            if (Skipped(out)) continue;
            const std::string path = Target(out, c.ext);
            auto gb = RunningMachine();
            std::string error;
            if (std::string(c.kind) == "battery file") {
                gb = std::make_unique<TGBSYSF>();
                const std::string rom_path = fs::path(path).replace_extension(".gb").string();
                std::ofstream(rom_path, std::ios::binary) << std::string(rom.begin(), rom.end());
                // The missing folder gets no ROM either: that row is the same as "new file".
                if (out == Out::MissingFolder || out == Out::ReadOnlyFolder) continue;
                ASSERT_TRUE(OpenRomFile(*gb, rom_path, &error)) << error;
                for (int i = 0; i < 131072; ++i) gb->memory.xram[i] = static_cast<u8>(i);
            }
            bool ok = false;
            {
                std::unique_ptr<FileSizeLimit> limit;
                if (out == Out::FullDisk) limit = std::make_unique<FileSizeLimit>(16);
                ok = c.save(*gb, path, &error);
            }
            const bool want = WriteSucceeds(c.kind, out);
            EXPECT_EQ(ok, want) << error;
            if (ok) {
                if (out != Out::DevNull) {
                    EXPECT_TRUE(fs::is_regular_file(path));
                    EXPECT_GT(fs::file_size(path), 16u);
                }
            } else {
                EXPECT_TRUE(OneLineNaming(error, path)) << error;
            }
            ExpectUntouched(out, path);
        }
    }
}

TEST_F(WriteMatrixTest, RunnerOutputs) {
    const std::pair<const char*, const char*> outputs[] = {
        {"--save-state", ".kivostate"}, {"--screenshot", ".png"}, {"--wav", ".wav"}};
    for (const auto& [option, ext] : outputs) {
        for (const Out out : kAllOutputs) {
            Clear();
            const std::string kind = std::string("kivo-run ") + option;
            SCOPED_TRACE(kind + ", " + Name(out));
            if (Skipped(out)) continue;
            const std::string path = Target(out, ext);
            // A full disk for the runner alone: a 1 KB limit on file sizes, SIGXFSZ ignored so
            // that a write fails as on a full disk.
            std::string command = Command(std::string("--demo --slices 4 ") + option) + " '" +
                                  path + "' >/dev/null 2>'" + Path("err.txt") + "' </dev/null";
            if (out == Out::FullDisk) {
                command = "bash -c \"trap '' XFSZ; ulimit -f 1; " + command + "\"";
            }
            const int raw = std::system(("timeout -s KILL 60 " + command).c_str());
            const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            const std::string err = ReadText("err.txt");
            fs::remove(Path("err.txt"));
            EXPECT_EQ(status, WriteSucceeds(out) ? 0 : 1) << err;
            if (status == 1) {
                EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
                EXPECT_NE(err.find(path), std::string::npos) << err;
            }
            ExpectUntouched(out, path);
        }
    }
}

}  // namespace
}  // namespace kivo
