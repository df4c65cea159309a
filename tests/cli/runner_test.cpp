// kivo-run's contract, checked on the real binary: exit codes, the summary line, usage errors
// with their reasons, the order of the outputs, all-or-nothing output files, scripted input, the
// demo cartridge's picture and sound, the temporary files of an interrupted run, and --until and
// --verdict.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "support/kivo_run.h"
#include "support/png_decode.h"
#include "support/program_test.h"
#include "support/rom_builder.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Pixels = std::vector<std::uint8_t>;
using test::RunResult;
using namespace gbasm;

// FNV-1a, 64 bits.
template <typename Bytes>
std::uint64_t Hash(const Bytes& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (auto b : bytes) h = (h ^ static_cast<std::uint8_t>(b)) * 0x100000001b3ull;
    return h;
}

std::string DemoRom() {
    std::ifstream in(KIVO_DEMO_ROM, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Test programs for --until and --verdict, one per result convention: interrupts off and A
// cleared, then the program, which ends counting A and (C000) up for ever.
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
const std::vector<int> kPass = {3, 5, 8, 13, 21, 34};
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
    // An MBC1 cartridge with battery RAM: a result of an earlier run may wait in its RAM file.
    void Rom(const std::string& name, const Asm& program) const {
        std::vector<u8> rom = test::MakeRom({.type = 0x03});
        PlaceInRom(rom, program);
        WriteText(name, std::string(rom.begin(), rom.end()));
    }
};

TEST_F(RunnerTest, ExitStatusSummaryAndMessages) {
    WriteText("screen_off.ini", "[OPTIONS]\nscreen_enable=0\n");
    auto rom = test::MakeRom({.type = 0x20});  // unknown controller
    rom[0x100] = 0x18;                         // JR -2: spin in place
    rom[0x101] = 0xFE;
    WriteText("unknown.gb", std::string(rom.begin(), rom.end()));
    rom = test::MakeRom();
    rom[0x100] = 0xDD;  // undefined
    WriteText("bad.gb", std::string(rom.begin(), rom.end()));
    Rom("pass.gb", Registers(kPass));
    WriteText("pass.kivoxram", std::string("\0\xDE\xB0\x61old\0", 8));  // a pass, left over
    Rom("fail.gb", Registers({66, 66, 66, 66, 66, 66}));
    Rom("near.gb", Registers({3, 5, 8, 13, 21, 66}));
    Rom("spin.gb", End(Start()));
    Rom("all.gb", Memory(0, "All passed\n"));
    Rom("failed.gb", Memory(2, "Failed #2", true));
    Rom("running.gb", Memory(0x80, "Running"));
    Asm wait = Start();  // waits for A, then passes
    wait.ld(A, 0x10);    // select the buttons
    wait.ldh(0x00, A);
    wait.label("wait");
    wait.ldh(A, 0x00);
    wait.bit(0, A);
    wait.jr(NZ, "wait");
    Rom("w.gb", Registers(kPass, wait));
    WriteText("a.txt", "10 a down\n");
    WriteText("tap.txt", "# pressed and let go at once\n10 a down\n\n10 a up\n");
    WriteText("right.txt", "10 right down\n");
    WriteText("a_right.ini", "[OPTIONS]\nJoyPad_Keys_4=39\n");  // A on Right's key
    const struct {
        const char* args;
        int status;
        const char* out;  // the start of stdout
        const char* err;  // a part of stderr
    } rows[] = {
        // One console second (59.73 frames) by default; the summary is the only line.
        {"--demo", 0, "slices=16 frames=", ""},
        // 45 frames need 12.05 slices of 3.73 frames: the 13th slice runs to its end.
        {"--demo --frames 45", 0, "slices=13 frames=48 bad_opcode=0\n", ""},
        // Cartridge problems are reported without failing; --frames stops on a frozen processor.
        {"@unknown.gb --slices 1", 0, "slices=1 frames=3 bad_opcode=0\n", "Unknown Cartridge\n"},
        {"@bad.gb --frames 100", 0, "slices=1 frames=3 bad_opcode=1\n", "Bad Opcode\n"},
        // Usage errors: exit 2, the reason and the usage line on stderr, nothing on stdout.
        {"--demo --bogus", 2, "", "unknown option --bogus"},
        {"--demo --slices 4294967296", 2, "", "from 0 to 4294967295, not '4294967296'"},
        {"--demo --slices", 2, "", "--slices needs an argument"},
        {"--demo --slices 1 --frames 1", 2, "", "--slices and --frames exclude each other"},
        {"--demo --frames 1 --ini @screen_off.ini", 2, "", "--frames needs screen_enable 1"},
        {"", 2, "", "no ROM given"},
        {"--demo @some.gb", 2, "", "--demo and a ROM exclude each other"},
        {"--demo --regs --regs", 2, "", "--regs given twice"},
        {"--demo --until serial", 2, "", "the serial port is not modelled"},
        {"--demo --until pc=10000", 2, "", "not 'pc=10000'"},
        {"--demo --until mem:c000=100", 2, "", "not 'mem:c000=100'"},
        {"--demo --verdict screen", 2, "", "--verdict takes memory or registers, not 'screen'"},
        {"--demo --mem 0:65537", 2, "", "--mem takes ADDR:LINES"},
        // A verdict comes before the summary; anything but a pass exits with 3.
        {"@pass.gb --verdict registers", 0, "verdict=pass\nslices=1 ", ""},
        {"@fail.gb --verdict registers", 3, "verdict=fail\nslices=1 ", ""},
        {"@near.gb --verdict registers", 3, "verdict=none\nslices=1 ", ""},
        {"@all.gb --verdict memory", 0, "verdict=pass\nAll passed\nslices=1 ", ""},
        {"@failed.gb --verdict memory", 3, "verdict=fail\nFailed #2\nslices=1 ", ""},
        {"@running.gb --verdict memory --slices 3", 3, "verdict=none\nRunning\nslices=3 ", ""},
        {"@pass.gb --verdict memory --slices 3", 0, "verdict=pass\nold\nslices=3 ", ""},
        // The run stops after the step at which the first condition holds: A counts the passes
        // through the store at 0160 to the jump back at 0163 (--exact shows F as the console does).
        {"@pass.gb --verdict registers --regs --exact", 0,
         "AF=0080\nBC=0305\nDE=080D\nHL=1522\nPC=015F\n", ""},
        {"@pass.gb --until pc=0x0160 --regs --exact", 0,
         "AF=0100\nBC=0305\nDE=080D\nHL=1522\nPC=0160\n", ""},
        {"@pass.gb --until mem:c000=c8 --regs --exact", 0,
         "AF=C800\nBC=0305\nDE=080D\nHL=1522\nPC=0163\n", ""},
        {"@pass.gb --until mem:c000=9 --until mem:c000=3 --until pc=0 --regs --exact", 0,
         "AF=0300\nBC=0305\nDE=080D\nHL=1522\nPC=0163\n", ""},
        // --until alone prints nothing more; reaching the limit first exits with 3.
        {"@fail.gb --until ld-b-b", 0, "slices=1 ", ""},
        {"@spin.gb --until pc=0x0100 --until mem:C001=FF --slices 2", 3, "slices=2 ", ""},
        // A reaches the program at the hand-over of frame 10, in the third slice; --frames runs
        // whole slices, so frame 10 comes within the slice that reaches frame 9.
        {"@w.gb --until ld-b-b --frames 20 --input @a.txt", 0, "slices=3 frames=10 ", ""},
        {"@w.gb --until ld-b-b --frames 20", 3, "slices=6 frames=22 ", ""},
        {"@w.gb --until ld-b-b --frames 9 --input @a.txt", 0, "slices=3 frames=10 ", ""},
        {"@w.gb --until ld-b-b --frames 5 --input @a.txt", 3, "slices=2 frames=7 ", ""},
        {"@w.gb --until ld-b-b --frames 20 --input @tap.txt", 3, "slices=6 frames=22 ", ""},
        {"@w.gb --until ld-b-b --frames 20 --input @right.txt", 3, "slices=6 frames=22 ", ""},
        // The events go through the key handler with the configured binding: a key bound to A
        // and Right plays only A (A is tried first).
        {"@w.gb --until ld-b-b --frames 20 --input @right.txt --ini @a_right.ini", 0,
         "slices=3 frames=10 ", ""},
    };
    for (const auto& row : rows) {
        const RunResult r = Run(row.args);
        EXPECT_EQ(r.status, row.status) << row.args << ": " << r.err;
        EXPECT_EQ(r.out.rfind(row.out, 0), 0u) << row.args << ": " << r.out;
        EXPECT_EQ(r.out.empty(), row.status == 2) << row.args;
        EXPECT_TRUE(*row.err ? r.err.find(row.err) != std::string::npos : r.err.empty())
            << row.args << ": " << r.err;
        EXPECT_EQ(r.err.find("usage: kivo-run") != std::string::npos, row.status == 2) << row.args;
    }
}

TEST_F(RunnerTest, TextOutputsComeInTheFixedOrderWhateverTheOptionOrder) {
    const RunResult r =
        Run("--demo --slices 1 --benchmark --regs --mem 0x0134:2 --disasm 0100:2 --cart-info");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = r.Lines();
    ASSERT_EQ(lines.size(), 20u + 2u + 2u + 20u + 1u + 1u);
    EXPECT_EQ(lines[1], " Title : KIVO DEMO ");
    // The demo's header checksum is the one a console checks before it runs the cartridge.
    const std::string rom = DemoRom();
    std::uint8_t sum = 0;
    for (int i = 0x134; i <= 0x14C; ++i) sum = static_cast<std::uint8_t>(sum - rom[i] - 1);
    char checksum[32];
    std::snprintf(checksum, sizeof checksum, " Header Checksum : %02X ", sum);
    EXPECT_EQ(lines[12], checksum);
    const std::pair<int, const char*> starts[] = {
        {20, "0100"}, {21, "0101"}, {22, "0134"}, {23, "013C"}, {24, "AF="}};
    for (const auto& [i, start] : starts) EXPECT_EQ(lines[i].rfind(start, 0), 0u) << lines[i];
    // The benchmark line, then the summary, both counting the same frames.
    const std::string frames = lines[45].substr(16, lines[45].find(' ', 16) - 16);
    EXPECT_EQ(lines[45], "slices=1 frames=" + frames + " bad_opcode=0");
    const std::regex benchmark("frames=" + frames +
                               " seconds=\\d+\\.\\d{3} fps=\\d+\\.\\d speed=\\d+%");
    EXPECT_TRUE(std::regex_match(lines[44], benchmark)) << lines[44];
}

// EXPECTED VALUES: taken from the machine's output when the demo's picture was checked by eye
// (KIVO banner, scrolling rings, the ball; grey in the GB system type) and when the jingle (C5 E5
// G5 C6), the 437 Hz tone and the noise burst were measured in its recording (pitch by zero
// crossings). A change in the CPU, LCD timing, renderer or sound synthesis changes them; look at
// the screenshots and listen before updating.
constexpr std::uint64_t kColourPictureHash = 0xdc661bdc863c0e09ull;
constexpr std::uint64_t kGreyPictureHash = 0xb750571a742a4d04ull;
constexpr std::uint64_t kDemoSoundHash = 0x237798b06cad93caull;

TEST_F(RunnerTest, DemoPictureInBothSystemTypesAndSoundWithAFixedSeed) {
    WriteText("gb.ini", "[OPTIONS]\nsystem_type=0\n");
    WriteText("cgb.ini", "[OPTIONS]\nsystem_type=1\n");
    const Pixels colour = Shot("--ini @cgb.ini --frames 60"),
                 grey = Shot("--ini @gb.ini --frames 60");
    EXPECT_EQ(Hash(colour), kColourPictureHash) << std::hex << Hash(colour);
    EXPECT_EQ(Hash(grey), kGreyPictureHash) << std::hex << Hash(grey);

    // The jingle plays from the start; A at frame 70 plays a tone, B at frame 90 a noise burst.
    WriteText("keys.txt", "70 a down\n74 a up\n90 b down\n94 b up\n");
    const RunResult r = Run("--demo --slices 32 --seed 0 --input @keys.txt --wav @demo.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string wav = ReadText("demo.wav");
    // Two console seconds: 44100 frames, 21 whole blocks and 1092 frames of the 22nd.
    ASSERT_EQ(wav.size(), 44u + 44100u * 4u);
    EXPECT_EQ(Hash(wav), kDemoSoundHash) << std::hex << Hash(wav);

    // The background's sway is a sine over 128 frames, kept in the cartridge as four banks of 64
    // entries: frame 64 + k mirrors frame k.
    const std::string rom = DemoRom();
    const auto sway = [&](int i) {
        return static_cast<std::uint8_t>(rom.at((1 + (i & 3)) * 0x4000 + (i >> 2)));
    };
    for (int k = 0; k < 64; ++k) EXPECT_EQ(sway(64 + k), static_cast<std::uint8_t>(-sway(k))) << k;
}

TEST_F(RunnerTest, ScreenshotToStdoutThroughAPipeComesAfterTheTexts) {
    // As root, /dev/fd/1 (names under /dev all take the same path): should writing in place
    // ever break, a root run of this test must not be able to replace the system's /dev/stdout.
    const std::string stdout_name = ::geteuid() == 0 ? "/dev/fd/1" : "/dev/stdout";
    const RunResult r =
        Run("--demo --slices 1 --screenshot " + stdout_name, "| cat > '" + Path("piped") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadText("piped").substr(0, 35), "slices=1 frames=3 bad_opcode=0\n\x89PNG");

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
    // The temporary files exist from the start of the run; the WAV's grows as it goes. Two
    // seconds into the run comes the signal, which must end it as the signal's default would.
    for (const int signal_number : {SIGINT, SIGTERM}) {
        const int raw = std::system(
            ("timeout --preserve-status -s " + std::to_string(signal_number) + " 2 " +
             Command("--demo --slices 100000000 --wav @out.wav --save-state @out.kivostate") +
             " >/dev/null")
                .c_str());
        EXPECT_EQ(WEXITSTATUS(raw), 128 + signal_number) << raw;
        EXPECT_FALSE(TemporaryFileLeft()) << signal_number;
        EXPECT_EQ(ReadText("out.wav"), "previous");
        EXPECT_EQ(FileCount(), 1u);
    }
}

}  // namespace
}  // namespace kivo
