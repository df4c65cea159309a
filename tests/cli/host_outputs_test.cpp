// The safe file writes behind every output file of the headless runner. The files' contents
// (WAV header, PNG pictures) are pinned through kivo-run in runner_test; outputs that cannot be
// created, devices and the longest names are in the bad-input matrix.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/safe_file.h"
#include "host/wav_writer.h"
#include "machine/layout.h"
#include "support/temp_dir.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

using HostOutputsTest = test::TempDirTest;

TEST_F(HostOutputsTest, OutputsReplaceTheOldFileWholeOnlyAtCommit) {
    WriteText("out.wav", "previous");
    std::string error;
    const std::vector<std::uint8_t> block(kBlockBytes, 1);
    {
        WavWriter wav;
        ASSERT_TRUE(wav.Open(Path("out.wav"), &error));
        wav.StreamSoundBlock(block.data());
        ASSERT_TRUE(wav.Finish(&error));
        // Destroyed without Commit, as when a later output of the run fails.
    }
    EXPECT_EQ(ReadText("out.wav"), "previous");
    WavWriter wav;
    ASSERT_TRUE(wav.Open(Path("out.wav"), &error));
    wav.StreamSoundBlock(block.data());
    EXPECT_EQ(ReadText("out.wav"), "previous");
    ASSERT_TRUE(wav.Commit(&error)) << error;
    EXPECT_EQ(ReadText("out.wav").size(), 44u + kBlockBytes);
    ASSERT_TRUE(WriteFileSafely(Path("out.wav"), "new", 3, &error)) << error;
    EXPECT_EQ(ReadText("out.wav"), "new");
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(HostOutputsTest, PendingTemporaryFilesCanBeRemovedAtOnce) {
    // What kivo-run's SIGINT and SIGTERM handler calls.
    TempFile a, b, committed;
    std::string error;
    ASSERT_TRUE(a.Create(Path("a.png"), &error)) << error;
    ASSERT_TRUE(b.Create(Path("b.png"), &error)) << error;
    ASSERT_TRUE(committed.Create(Path("c.png"), &error)) << error;
    ASSERT_TRUE(committed.Commit(&error)) << error;
    EXPECT_EQ(FileCount(), 3u);
    RemoveTemporaryFilesNow();
    EXPECT_EQ(FileCount(), 1u);
    EXPECT_TRUE(fs::exists(dir_ / "c.png"));
}

}  // namespace
}  // namespace kivo
