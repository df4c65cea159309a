// kivo-run's contract, checked on the real binary: exit codes, the summary line, the order of
// the outputs, all-or-nothing output files, scripted input, the demo cartridge's picture and
// sound, the temporary files of an interrupted run, and --until and --verdict.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/kivo_run.h"
#include "support/png_decode.h"
#include "support/program_test.h"
#include "support/rom_builder.h"
#include "ui/state_files.h"

extern char** environ;

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Pixels = std::vector<std::uint8_t>;

// FNV-1a, 64 bits.
template <typename Bytes>
std::uint64_t Hash(const Bytes& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (auto b : bytes) h = (h ^ static_cast<std::uint8_t>(b)) * 0x100000001b3ull;
    return h;
}

using test::RunResult;

class RunnerTest : public test::KivoRunTest {
  protected:
    // Runs the demo and returns the RGB pixels of its screenshot.
    Pixels Shot(const std::string& line) const {
        const RunResult r = Run("--demo --screenshot @shot.png " + line);
        EXPECT_EQ(r.status, 0) << line << ": " << r.err;
        return Png("shot.png");
    }
    Pixels Png(const std::string& name) const {
        const std::string bytes = ReadText(name);
        Pixels rgb;
        int width = 0, height = 0;
        std::string error;
        EXPECT_TRUE(test::DecodePng({bytes.begin(), bytes.end()}, &width, &height, &rgb, &error))
            << error;
        EXPECT_TRUE(width == 160 && height == 144) << width << "x" << height;
        return rgb;
    }
};

TEST_F(RunnerTest, DefaultRunIsOneConsoleSecondAndZeroSlicesRunNothing) {
    const RunResult r = Run("--demo");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // 59.73 frames per console second; the summary is the only line.
    EXPECT_TRUE(r.out == "slices=16 frames=59 bad_opcode=0\n" ||
                r.out == "slices=16 frames=60 bad_opcode=0\n")
        << r.out;
    // No frame was presented: the picture is the frame buffer as the hard reset cleared it.
    EXPECT_EQ(Shot("--slices 0"), Pixels(160 * 144 * 3, 0));
}

TEST_F(RunnerTest, UsageErrorsExitWithTwoAndAUsageLine) {
    WriteText("screen_off.ini", "[OPTIONS]\nscreen_enable=0\n");
    for (const char* line :
         {"--demo --bogus", "--demo --slices 4294967296", "--demo --slices",
          "--demo --slices 1 --frames 1", "--demo --frames 1 --ini @screen_off.ini", "",
          "--demo @some.gb", "--demo --regs --regs", "--demo --until serial"}) {
        const RunResult r = Run(line);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_NE(r.err.find("usage: kivo-run"), std::string::npos) << line;
        EXPECT_EQ(r.out, "") << line;
    }
}

TEST_F(RunnerTest, FailedRunsExitWithOneAndWriteOrReplaceNoOutputFile) {
    // Bad inputs of every kind are in the bad-input matrix; here, that none writes an output.
    WriteText("short.kivostate", std::string(1000, '\0'));
    WriteText("bad_input.txt", "10 jump down\n");
    WriteText("old.png", "previous");
    fs::create_directory(dir_ / "folder");
    for (const std::string line :
         {"@folder", "--demo --load-state @short.kivostate", "--demo --input @bad_input.txt"}) {
        const RunResult r =
            Run(line + " --save-state @out.kivostate --screenshot @old.png --wav @out.wav");
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line << ": " << r.err;
        EXPECT_EQ(r.err.find("usage:"), std::string::npos) << line;
        EXPECT_EQ(FileCount(), 4u) << line;
        EXPECT_EQ(ReadText("old.png"), "previous") << line;
    }
    // An output that cannot be written fails the run before any other output is written.
    const std::pair<std::string, std::string> outputs[] = {
        {"--save-state", "a.kivostate"}, {"--screenshot", "a.png"}, {"--wav", "a.wav"}};
    for (const auto& [option, _] : outputs) {
        for (const char* target : {"no/such/dir/out", "folder"}) {
            std::string line = "--demo";
            for (const auto& [o, file] : outputs)
                line += " " + o + " @" + (o == option ? target : file);
            EXPECT_EQ(Run(line).status, 1) << line;
            EXPECT_EQ(FileCount(), 4u) << line;
        }
    }
}

TEST_F(RunnerTest, CartridgeProblemsAreReportedOnStderrWithoutFailing) {
    auto rom = test::MakeRom({.type = 0x20});  // unknown controller
    rom[0x100] = 0x18;                         // JR -2: spin in place
    rom[0x101] = 0xFE;
    WriteText("unknown.gb", std::string(rom.begin(), rom.end()));
    RunResult r = Run("@unknown.gb --slices 1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unknown Cartridge\n");
    EXPECT_EQ(r.out, "slices=1 frames=3 bad_opcode=0\n");

    rom = test::MakeRom();
    rom[0x100] = 0xDD;  // undefined
    WriteText("bad.gb", std::string(rom.begin(), rom.end()));
    r = Run("@bad.gb --frames 100");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Bad Opcode\n");
    // The processor froze in the first slice: --frames stops instead of waiting forever.
    EXPECT_EQ(r.out, "slices=1 frames=3 bad_opcode=1\n");
}

TEST_F(RunnerTest, TextOutputsComeInTheFixedOrderWhateverTheOptionOrder) {
    const RunResult r =
        Run("--demo --slices 1 --benchmark --regs --mem 0x0134:2 --disasm 0100:2 --cart-info");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = r.Lines();
    ASSERT_EQ(lines.size(), 20u + 2u + 2u + 20u + 1u + 1u);
    EXPECT_EQ(lines[1], " Title : KIVO DEMO ");
    // The demo's header checksum is the one a console checks before it runs the cartridge.
    std::ifstream in(KIVO_DEMO_ROM, std::ios::binary);
    const std::string rom(std::istreambuf_iterator<char>(in), {});
    std::uint8_t sum = 0;
    for (int i = 0x134; i <= 0x14C; ++i) sum = static_cast<std::uint8_t>(sum - rom[i] - 1);
    char checksum[32];
    std::snprintf(checksum, sizeof checksum, " Header Checksum : %02X ", sum);
    EXPECT_EQ(lines[12], checksum);
    const std::pair<int, const char*> starts[] = {
        {20, "0100"}, {21, "0101"}, {22, "0134"}, {23, "013C"}, {24, "AF="}};
    for (const auto& [i, start] : starts) EXPECT_EQ(lines[i].rfind(start, 0), 0u) << lines[i];
    // The benchmark line, then the summary, both counting the same frames.
    unsigned long long frames = 0;
    double seconds = 0, fps = 0, speed = 0;
    int end = 0;
    EXPECT_EQ(std::sscanf(lines[44].c_str(), "frames=%llu seconds=%lf fps=%lf speed=%lf%%%n",
                          &frames, &seconds, &fps, &speed, &end),
              4);
    EXPECT_EQ(static_cast<std::size_t>(end), lines[44].size()) << lines[44];
    EXPECT_EQ(lines[45], "slices=1 frames=" + std::to_string(frames) + " bad_opcode=0");
}

TEST_F(RunnerTest, FramesRunsWholeSlicesAndShowsTheNthFrame) {
    // 45 frames need 12.05 slices of 3.73 frames: the 13th slice runs to its end.
    EXPECT_EQ(Run("--demo --frames 45").out, "slices=13 frames=48 bad_opcode=0\n");
    // Twelve slices hand over 44 frames. The background scrolls every frame, so frame 43, shown
    // after a run of the same twelve slices, differs from the last one.
    ASSERT_EQ(Run("--demo --slices 12").out, "slices=12 frames=44 bad_opcode=0\n");
    const Pixels last = Shot("--slices 12");
    EXPECT_EQ(Shot("--frames 44"), last);
    EXPECT_NE(Shot("--frames 43"), last);
    // The built-in demo is the demo cartridge file.
    ASSERT_EQ(Run(std::string(KIVO_DEMO_ROM) + " --slices 12 --screenshot @file.png").status, 0);
    EXPECT_EQ(Png("file.png"), last);
}

// Where the demo's ball is: colour 1 of sprite palette 0 is red (31, 4, 4).
std::pair<int, int> Ball(const Pixels& rgb) {
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
        if (rgb[i] == 248 && rgb[i + 1] == 32 && rgb[i + 2] == 32) {
            return {static_cast<int>(i / 3 % 160), static_cast<int>(i / 3 / 160)};
        }
    }
    return {-1, -1};
}

TEST_F(RunnerTest, InputEventsApplyAtTheirFrameThroughTheKeyBindings) {
    const auto rest = Ball(Shot("--frames 60"));
    ASSERT_GE(rest.first, 0) << "the ball is not on the picture";
    // Right held until frame 20: the ball travels one pixel per frame once the program reads the
    // keys (a few frames after power-on), then stays where it is.
    WriteText("right.txt", "# the ball goes right\n0 right down\n\n20 right up\n");
    const auto at40 = Ball(Shot("--frames 40 --input @right.txt"));
    EXPECT_EQ(at40.second, rest.second);
    EXPECT_GE(at40.first - rest.first, 14);
    EXPECT_LE(at40.first - rest.first, 20);
    EXPECT_EQ(Ball(Shot("--frames 60 --input @right.txt")), at40);
    // The events go through the key handler with the configured binding: with A bound to the key
    // of Right, that key plays only A (A is tried first), so "right" no longer moves the ball.
    WriteText("shared_key.ini", "[OPTIONS]\nJoyPad_Keys_4=39\n");
    EXPECT_EQ(Ball(Shot("--ini @shared_key.ini --frames 60 --input @right.txt")), rest);
}

// EXPECTED VALUES: taken from the machine's output when the demo's picture was checked by eye
// (KIVO banner, scrolling rings, the ball). A change in the CPU, LCD timing or renderer that
// alters the picture changes them; look at the screenshots before updating.
constexpr std::uint64_t kColourPictureHash = 0xdc661bdc863c0e09ull;
constexpr std::uint64_t kGreyPictureHash = 0xb750571a742a4d04ull;

TEST_F(RunnerTest, DemoPictureAtFrameSixtyInBothSystemTypes) {
    WriteText("gb.ini", "[OPTIONS]\nsystem_type=0\n");
    WriteText("cgb.ini", "[OPTIONS]\nsystem_type=1\n");
    const Pixels colour = Shot("--ini @cgb.ini --frames 60"),
                 grey = Shot("--ini @gb.ini --frames 60");
    const auto is_grey = [](const Pixels& p) {
        for (std::size_t i = 0; i < p.size(); i += 3) {
            if (p[i] != p[i + 1] || p[i] != p[i + 2]) return false;
        }
        return true;
    };
    EXPECT_FALSE(is_grey(colour));
    EXPECT_TRUE(is_grey(grey));
    EXPECT_EQ(Hash(colour), kColourPictureHash) << std::hex << Hash(colour);
    EXPECT_EQ(Hash(grey), kGreyPictureHash) << std::hex << Hash(grey);
}

// The background's sway is a sine over 128 frames, kept in the cartridge as four banks of 64
// entries: frame 64 + k mirrors frame k.
TEST_F(RunnerTest, DemoSwaySecondHalfMirrorsTheFirst) {
    std::ifstream in(KIVO_DEMO_ROM, std::ios::binary);
    const std::string rom(std::istreambuf_iterator<char>(in), {});
    const auto sway = [&](int i) {
        return static_cast<std::uint8_t>(rom.at((1 + (i & 3)) * 0x4000 + (i >> 2)));
    };
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(sway(64 + k), static_cast<std::uint8_t>(-sway(k))) << k;
    }
}

// EXPECTED VALUES: the recording of the run below as the sound unit produced it when the jingle
// (C5 E5 G5 C6), the 437 Hz tone and the noise burst were measured in it (pitch by zero
// crossings). The first is the 21 complete blocks alone (the file as it was before the last
// part of a block was written too), the second the whole file. A change in the sound synthesis
// or the CPU changes them; listen before updating.
constexpr std::uint64_t kDemoSoundBlocksHash = 0xb92ea4581303628eull;
constexpr std::uint64_t kDemoSoundHash = 0x237798b06cad93caull;

// The WAV file the machine's complete blocks alone would have made of a recording.
std::string CompleteBlocksOnly(const std::string& wav) {
    const std::uint32_t bytes = static_cast<std::uint32_t>((wav.size() - 44) / 8192 * 8192);
    std::string head = wav.substr(0, 44);
    for (int i = 0; i < 4; ++i) {
        head[4 + i] = static_cast<char>((36 + bytes) >> (8 * i));
        head[40 + i] = static_cast<char>(bytes >> (8 * i));
    }
    return head + wav.substr(44, bytes);
}

TEST_F(RunnerTest, DemoSoundWithAFixedSeed) {
    // The jingle plays from the start; A at frame 70 plays a tone, B at frame 90 a noise burst.
    WriteText("keys.txt", "70 a down\n74 a up\n90 b down\n94 b up\n");
    const RunResult r = Run("--demo --slices 32 --seed 0 --input @keys.txt --wav @demo.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string wav = ReadText("demo.wav");
    // Two console seconds: 44100 frames, 21 whole blocks and 1092 frames of the 22nd.
    ASSERT_EQ(wav.size(), 44u + 44100u * 4u);
    EXPECT_EQ(Hash(CompleteBlocksOnly(wav)), kDemoSoundBlocksHash)
        << std::hex << Hash(CompleteBlocksOnly(wav));
    EXPECT_EQ(Hash(wav), kDemoSoundHash) << std::hex << Hash(wav);
}

TEST_F(RunnerTest, ScreenshotToStdoutThroughAPipeComesAfterTheTexts) {
    // As root, /dev/fd/1 (names under /dev all take the same path): should writing in place
    // ever break, a root run of this test must not be able to replace the system's /dev/stdout.
    const std::string stdout_name = ::geteuid() == 0 ? "/dev/fd/1" : "/dev/stdout";
    const RunResult r =
        Run("--demo --slices 1 --screenshot " + stdout_name, "| cat > '" + Path("piped") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string piped = ReadText("piped");
    const std::string summary = "slices=1 frames=3 bad_opcode=0\n";
    ASSERT_EQ(piped.compare(0, summary.size(), summary), 0) << piped.substr(0, 40);
    EXPECT_EQ(piped.compare(summary.size(), 4, "\x89PNG"), 0);

    // A failed stdout fails the run before any output file is committed.
    WriteText("old.png", "previous");
    const RunResult full =
        Run("--demo --slices 1 --regs --screenshot @old.png --wav @new.wav", "/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("stdout"), std::string::npos) << full.err;
    EXPECT_EQ(ReadText("old.png"), "previous");
    EXPECT_EQ(FileCount(), 2u);
}

TEST_F(RunnerTest, AnInterruptedRunRemovesItsTemporaryFiles) {
    WriteText("out.wav", "previous");
    for (const int signal_number : {SIGINT, SIGTERM}) {
        const std::string wav = Path("out.wav"), state = Path("out.kivostate");
        const char* argv[] = {KIVO_RUN,    "--demo",       "--slices",    "100000000", "--wav",
                              wav.c_str(), "--save-state", state.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, KIVO_RUN, &actions, nullptr, const_cast<char**>(argv), environ),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        // The temporary files exist from the start of the run; the WAV's grows as it goes.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!TemporaryFileLeft() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(TemporaryFileLeft());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(pid, signal_number);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
        EXPECT_FALSE(TemporaryFileLeft()) << signal_number;
        EXPECT_EQ(ReadText("out.wav"), "previous");
        EXPECT_EQ(FileCount(), 1u);
    }
}

using namespace gbasm;

// kivo-run as a test runner: --until and --verdict on assembled programs that follow each result
// convention. Interrupts off and A cleared, then the program, which ends counting A and (C000) up
// for ever.
Asm Start() {
    Asm a(0x0150);
    a.di();
    a.xor_(A);
    return a;
}
Asm End(Asm a) {
    a.label("loop");
    a.inc(A);
    a.label("store");
    a.ld(Mem(0xC000), A);
    a.label("back");
    a.jr("loop");
    return a;
}
// B, C, D, E, H, L loaded, then LD B,B.
Asm Registers(std::vector<int> values, Asm a = Start()) {
    const R8 regs[] = {B, C, D, E, H, L};
    for (int i = 0; i < 6; ++i) a.ld(regs[i], values[i]);
    a.ld(B, B);
    return End(a);
}
const std::vector<int> kPass = {3, 5, 8, 13, 21, 34}, kFail = {66, 66, 66, 66, 66, 66};
// The signature (first, or after the status 0x80), the text, then the final status.
Asm Memory(int status, const std::string& text, bool signature_first = false) {
    Asm a = Start();
    const auto put = [&a](int address, const std::vector<int>& bytes) {
        a.ld(HL, address);
        for (int b : bytes) a.ld(A, b), a.ld(Mem(HLI), A);
    };
    if (signature_first) put(0xA001, {0xDE, 0xB0, 0x61});
    put(0xA000, {0x80, 0xDE, 0xB0, 0x61});
    put(0xA004, std::vector<int>(text.begin(), text.end()));
    a.ld(Mem(HL), 0);
    a.ld(A, status);
    a.ld(Mem(0xA000), A);
    return End(a);
}

class RunnerUntilTest : public RunnerTest {
  protected:
    // An MBC1 cartridge with battery RAM: a result of an earlier run may wait in its RAM file.
    std::string Rom(const Asm& program) const {
        std::vector<u8> rom = test::MakeRom({.type = 0x03});
        PlaceInRom(rom, program);
        WriteText("test.gb", std::string(rom.begin(), rom.end()));
        return "@test.gb ";
    }
};

TEST_F(RunnerUntilTest, ConventionsGiveTheirVerdictBeforeTheSummaryAndTheExitStatus) {
    WriteText("test.kivoxram", std::string("\0\xDE\xB0\x61old\0", 8));  // a pass, left over
    const struct {
        Asm program;
        const char* args;
        const char* out;  // up to the summary's frame count
        int status;
    } rows[] = {
        {Registers(kPass), "--verdict registers", "verdict=pass\nslices=1 ", 0},
        {Registers(kFail), "--verdict registers", "verdict=fail\nslices=1 ", 3},
        {Registers({3, 5, 8, 13, 21, 66}), "--verdict registers", "verdict=none\nslices=1 ", 3},
        {End(Start()), "--verdict registers --slices 3", "verdict=none\nslices=3 ", 3},
        {Memory(0, "All passed\n"), "--verdict memory", "verdict=pass\nAll passed\nslices=1 ", 0},
        {Memory(2, "Failed #2", true), "--verdict memory", "verdict=fail\nFailed #2\nslices=1 ", 3},
        {Memory(0x80, "Running"), "--verdict memory --slices 3", "verdict=none\nRunning\nslices=3 ",
         3},
        {Registers(kPass), "--verdict memory --slices 3", "verdict=pass\nold\nslices=3 ", 0},
        // --until alone prints nothing more; reaching the limit first exits with 3.
        {Registers(kFail), "--until ld-b-b", "slices=1 ", 0},
        {End(Start()), "--until pc=0x0100 --until mem:C001=FF --slices 2", "slices=2 ", 3},
    };
    for (const auto& row : rows) {
        const RunResult r = Run(Rom(row.program) + row.args);
        EXPECT_EQ(r.status, row.status) << row.args << ": " << r.err;
        EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << row.args << ": " << r.out;
    }
}

TEST_F(RunnerUntilTest, TheRunStopsAfterTheStepAtWhichTheFirstConditionHolds) {
    const Asm program = Registers(kPass);
    const struct {
        const char* until;
        const char* next;  // the instruction the saved state is at
        int a;             // the counter
    } rows[] = {
        {"--verdict registers", "loop", -1},
        {"--until pc=0x0160", "store", 1},
        {"--until mem:c000=c8", "back", 200},
        {"--until mem:c000=9 --until mem:c000=3 --until pc=0", "back", 3},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(program.addr("store"), 0x0160);
        const RunResult r = Run(Rom(program) + row.until +
                                " --save-state @s.kivostate --screenshot @s.png --wav @s.wav");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind("slices=1 frames=", 0) == std::string::npos, row.a < 0) << r.out;
        auto gb = std::make_unique<TGBSYSF>();
        std::string error;
        ASSERT_TRUE(LoadState(*gb, Path("s.kivostate"), &error)) << error;
        EXPECT_EQ(gb->state.PC, program.addr(row.next)) << row.until;
        EXPECT_EQ(gb->state.BC, 0x0305);
        if (row.a >= 0) {
            EXPECT_EQ(gb->state.AF >> 8, row.a) << row.until;
        }
        // The picture and a few hundred instructions of sound, not a slice's 1378 frames.
        EXPECT_GT(ReadText("s.png").size(), 0u);
        EXPECT_LT(ReadText("s.wav").size(), 44u + 4u * 100u);
    }
}

TEST_F(RunnerUntilTest, FramesAndInputDecideWhereTheRunEnds) {
    Asm a = Start();  // waits for A, then passes
    a.ld(A, 0x10);    // select the buttons
    a.ldh(0x00, A);
    a.label("wait");
    a.ldh(A, 0x00);
    a.bit(0, A);
    a.jr(NZ, "wait");
    const std::string rom = Rom(Registers(kPass, a)) + "--verdict registers ";
    WriteText("a.txt", "10 a down\n");
    const std::pair<const char*, const char*> rows[] = {
        // A reaches the program at the hand-over of frame 10, in the third slice.
        {"--frames 20 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n"},
        {"--slices 16 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n"},
        {"--frames 20", "verdict=none\nslices=6 frames=22 bad_opcode=0\n"},
        // --frames runs whole slices: frame 10 comes within the slice that reaches frame 9.
        {"--frames 9 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n"},
        {"--frames 5 --input @a.txt", "verdict=none\nslices=2 frames=7 bad_opcode=0\n"},
    };
    for (const auto& [args, out] : rows) EXPECT_EQ(Run(rom + args).out, out) << args;
}

}  // namespace
}  // namespace kivo
