// kivo-run's file handling at its edges: outputs that are full devices, FIFOs or /dev/stdout, the
// texts failing after the files were written, names of the longest length, interruption by a
// signal, and a FIFO as the battery file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/kivo_run.h"
#include "support/rom_builder.h"

extern char** environ;

namespace kivo {
namespace {

namespace fs = std::filesystem;

using RunnerFilesTest = test::KivoRunTest;

TEST_F(RunnerFilesTest, ScreenshotToStdoutThroughAPipe) {
    // As root, /dev/fd/1 (names under /dev all take the same path): should writing in place
    // ever break, a root run of this test must not be able to replace the system's /dev/stdout.
    const std::string stdout_name = ::geteuid() == 0 ? "/dev/fd/1" : "/dev/stdout";
    const test::RunResult r =
        Run("--demo --slices 1 --screenshot " + stdout_name, "| cat > '" + Path("piped") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    // The texts first, then the picture: stdout is written before any output is committed.
    const std::string piped = ReadText("piped");
    const std::string summary = "slices=1 frames=3 bad_opcode=0\n";
    ASSERT_EQ(piped.compare(0, summary.size(), summary), 0) << piped.substr(0, 40);
    EXPECT_EQ(piped.compare(summary.size(), 4, "\x89PNG"), 0);
}

TEST_F(RunnerFilesTest, AFailedCommitIntoADeviceOrFifoLeavesNoNewFile) {
    ASSERT_EQ(::mkfifo(Path("unread.wav").c_str(), 0666), 0);
    // A full device takes nothing; a FIFO that nobody reads would block the run for ever.
    const std::string full = Device("full.wav", "/dev/full", 7);
    for (const std::string& wav : {full, Path("unread.wav")}) {
        const test::RunResult r =
            Run("--demo --slices 1 --save-state @a.kivostate --screenshot @a.png --wav " + wav);
        EXPECT_EQ(r.status, 1) << wav;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(wav), std::string::npos) << r.err;
        EXPECT_EQ(FileCount(), 2u) << wav;
    }
    EXPECT_TRUE(fs::is_fifo(dir_ / "unread.wav"));
    EXPECT_TRUE(fs::is_character_file(full));
}

TEST_F(RunnerFilesTest, ExitOneAfterAFailedStdoutMeansNoNewOutputFile) {
    WriteText("old.png", "previous");
    const test::RunResult r =
        Run("--demo --slices 1 --regs --screenshot @old.png --wav @new.wav", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("stdout"), std::string::npos) << r.err;
    EXPECT_EQ(ReadText("old.png"), "previous");
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(RunnerFilesTest, NamesUpToTheSystemLimitAreWritten) {
    // 239 to 255 bytes: the temporary name once ran past 255 bytes for these.
    for (const std::size_t length : {239u, 248u, 255u}) {
        const std::string stem(length - 4, 'n');
        // Two bytes per character: the temporary name is cut between characters.
        std::string wide((length - 4) % 2, 'x');
        while (wide.size() < length - 4) wide += "\xc3\xa9";
        const std::string names[] = {stem + ".kst", stem + ".png", wide + ".wav"};
        const test::RunResult r = Run("--demo --slices 1 --save-state @" + names[0] +
                                      " --screenshot @" + names[1] + " --wav @" + names[2]);
        ASSERT_EQ(r.status, 0) << length << ": " << r.err;
        for (const std::string& name : names) {
            EXPECT_EQ(name.size(), length);
            EXPECT_TRUE(fs::is_regular_file(dir_ / name)) << length;
        }
        EXPECT_EQ(FileCount(), 3u);
        for (const std::string& name : names) fs::remove(dir_ / name);
    }
}

TEST_F(RunnerFilesTest, AnInterruptedRunRemovesItsTemporaryFiles) {
    for (const int signal_number : {SIGINT, SIGTERM}) {
        WriteText("out.wav", "previous");
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

// FIFOs as inputs are refused by the functions the runner shares with the window (the bad-input
// matrix); the runner's own part is to print a battery file's warning and run the game.
TEST_F(RunnerFilesTest, ABatteryFileThatIsAFifoIsAWarningAndTheGameRuns) {
    // The battery file beside a ROM is one the user never named: a warning, and the game runs.
    const auto rom = test::MakeRom({.type = 0x03});  // MBC1 + RAM + battery
    WriteText("game.gb", std::string(rom.begin(), rom.end()));
    ASSERT_EQ(::mkfifo(Path("game.kivoxram").c_str(), 0666), 0);
    const test::RunResult r = Run("@game.gb --slices 1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("game.kivoxram: is a FIFO"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "slices=1 frames=3 bad_opcode=0\n");
}

}  // namespace
}  // namespace kivo
