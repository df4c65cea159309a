// kivo-run as a test runner, on the real binary: --until and --verdict on assembled programs that
// follow each result convention, where the run ends and what it leaves, --help and --version.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "asm/gbasm.h"
#include "cli/run_args.h"
#include "support/kivo_run.h"
#include "support/rom_builder.h"
#include "ui/state_files.h"

namespace kivo {
namespace {

using namespace gbasm;
using test::RunResult;

class RunnerUntilTest : public test::KivoRunTest {
  protected:
    // Writes the program as a cartridge and returns its name for the command line.
    std::string Rom(const Asm& program, const std::string& name = "test.gb") const {
        std::vector<u8> rom = test::MakeRom();
        PlaceInRom(rom, program);
        WriteText(name, std::string(rom.begin(), rom.end()));
        return "@" + name;
    }
};

// Interrupts off, then the program; it ends spinning at "spin".
Asm Start() {
    Asm a(0x0150);
    a.di();
    return a;
}
void Spin(Asm& a) {
    a.label("spin");
    a.inc(A);
    a.jr("spin");
}

// The register convention: B, C, D, E, H, L loaded, then LD B,B.
Asm Registers(std::vector<int> values, Asm a = Start()) {
    const R8 regs[] = {B, C, D, E, H, L};
    for (int i = 0; i < 6; ++i) a.ld(regs[i], values[i]);
    a.ld(B, B);
    a.label("after");
    Spin(a);
    return a;
}
const std::vector<int> kPass = {3, 5, 8, 13, 21, 34};
const std::vector<int> kFail = {0x42, 0x42, 0x42, 0x42, 0x42, 0x42};

// The memory convention: status 0x80, signature, text, then the final status unless it is 0x80.
Asm Memory(int status, const std::string& text) {
    Asm a = Start();
    a.ld(HL, 0xA000);
    for (int b : {0x80, 0xDE, 0xB0, 0x61}) a.ld(A, b), a.ld(Mem(HLI), A);
    for (char c : text) a.ld(A, c), a.ld(Mem(HLI), A);
    a.ld(Mem(HL), 0);
    a.ld(A, status);
    a.ld(Mem(0xA000), A);
    Spin(a);
    return a;
}

Asm Never() {
    Asm a = Start();
    Spin(a);
    return a;
}

// Splits stdout into what comes before the summary line and the summary's slice count.
std::pair<std::string, std::string> BeforeSummary(const RunResult& r) {
    const std::size_t last = r.out.rfind("slices=");
    if (last == std::string::npos) return {r.out, ""};
    const std::string summary = r.out.substr(last);
    return {r.out.substr(0, last), summary.substr(7, summary.find(' ') - 7)};
}

TEST_F(RunnerUntilTest, ConventionsGiveTheirVerdictAndExitStatus) {
    const struct {
        Asm program;
        const char* args;
        const char* texts;  // stdout before the summary line
        int status;
        const char* slices;
    } rows[] = {
        {Registers(kPass), "--verdict registers", "verdict=pass\n", 0, "1"},
        {Registers(kFail), "--verdict registers", "verdict=fail\n", 3, "1"},
        {Registers({3, 5, 8, 13, 21, 0x42}), "--verdict registers", "verdict=none\n", 3, "1"},
        {Never(), "--verdict registers --slices 3", "verdict=none\n", 3, "3"},
        {Memory(0, "All passed\n"), "--verdict memory", "verdict=pass\nAll passed\n", 0, "1"},
        {Memory(2, "Failed #2"), "--verdict memory --regs", "verdict=fail\nFailed #2\n", 3, "1"},
        {Memory(0x80, "Running"), "--verdict memory --slices 3", "verdict=none\nRunning\n", 3, "3"},
        {Registers(kPass), "--verdict memory --slices 3", "verdict=none\n", 3, "3"},
        // --until alone prints nothing more; reaching the limit first exits with 3.
        {Registers(kFail), "--until ld-b-b", "", 0, "1"},
        {Never(), "--until pc=0x0100 --until mem:C000=1 --slices 2", "", 3, "2"},
    };
    for (const auto& row : rows) {
        const RunResult r = Run(Rom(row.program) + " " + row.args);
        SCOPED_TRACE(row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.err, "");
        auto [texts, slices] = BeforeSummary(r);
        // --regs prints its 20 lines before the verdict.
        if (std::string(row.args).find("--regs") != std::string::npos) {
            for (int i = 0; i < 20; ++i) texts.erase(0, texts.find('\n') + 1);
        }
        EXPECT_EQ(texts, row.texts);
        EXPECT_EQ(slices, row.slices) << r.out;
    }
}

TEST_F(RunnerUntilTest, AnEarlyStopWritesEveryOutputWhereItStopped) {
    const Asm program = Registers(kPass);
    const RunResult r = Run(Rom(program) +
                            " --verdict registers --save-state @s.kivostate --screenshot @s.png "
                            "--wav @s.wav --slices 50");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "verdict=pass\nslices=1 frames=0 bad_opcode=0\n");
    auto gb = std::make_unique<TGBSYSF>();
    std::string error;
    ASSERT_TRUE(LoadState(*gb, Path("s.kivostate"), &error)) << error;
    EXPECT_EQ(gb->state.PC, program.addr("after"));  // LD B,B executed, nothing after it
    EXPECT_EQ(gb->state.BC, 0x0305);
    EXPECT_GT(ReadText("s.png").size(), 0u);
    // The sound of a dozen instructions: the header and not one whole frame of a slice's 1378.
    EXPECT_LT(ReadText("s.wav").size(), 44u + 4u * 10u);
}

// Waits for A, polling the joypad, then passes by the register convention.
Asm WaitForA() {
    Asm a = Start();
    a.ld(A, 0x10);  // select the buttons
    a.ldh(0x00, A);
    a.label("wait");
    a.ldh(A, 0x00);
    a.bit(0, A);
    a.jr(NZ, "wait");
    return Registers(kPass, a);
}

TEST_F(RunnerUntilTest, FramesAndInputDecideWhereTheRunEnds) {
    const std::string rom = Rom(WaitForA());
    WriteText("a.txt", "10 a down\n");
    const struct {
        const char* args;
        const char* out;
        int status;
    } rows[] = {
        // A reaches the program at the hand-over of frame 10, in the third slice.
        {"--frames 20 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n", 0},
        {"--slices 16 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n", 0},
        // The limit first: the run is judged where it ends.
        {"--frames 20", "verdict=none\nslices=6 frames=22 bad_opcode=0\n", 3},
        // --frames runs whole slices: frame 10 comes within the slice that reaches frame 9.
        {"--frames 9 --input @a.txt", "verdict=pass\nslices=3 frames=10 bad_opcode=0\n", 0},
        {"--frames 5 --input @a.txt", "verdict=none\nslices=2 frames=7 bad_opcode=0\n", 3},
    };
    for (const auto& row : rows) {
        const RunResult r = Run(rom + " --verdict registers " + row.args);
        EXPECT_EQ(r.status, row.status) << row.args << ": " << r.err;
        EXPECT_EQ(r.out, row.out) << row.args;
    }
}

TEST_F(RunnerUntilTest, HelpListsEveryOptionAsTheReadmeTableDoes) {
    std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/README.md");
    const std::string readme(std::istreambuf_iterator<char>(in), {});
    const RunResult help = Run("--help");
    ASSERT_EQ(help.status, 0);
    const auto lines = help.Lines();
    ASSERT_EQ(lines.size(), 1 + std::size(cli::kOptionHelp));
    EXPECT_EQ(lines[0], cli::kUsage);
    std::size_t rows = 0;
    for (std::size_t at = 0; (at = readme.find("\n| `--", at)) != std::string::npos; ++at) ++rows;
    EXPECT_EQ(rows, std::size(cli::kOptionHelp));
    const std::regex line(R"(  (--\S+(?: \S+)?) +(.*))");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
        const std::string row = "| `" + m[1].str() + "` | " + m[2].str() + " |";
        EXPECT_NE(readme.find(row), std::string::npos) << "the README has no row " << row;
    }
    const RunResult version = Run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("kivo-run [0-9]+\\.[0-9]+.*\n")))
        << version.out;
}

}  // namespace
}  // namespace kivo
