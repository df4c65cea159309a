// The safe file writes behind every output file of the headless runner. The files' contents
// (WAV header, PNG pictures) are pinned through kivo-run in runner_test.
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

TEST_F(HostOutputsTest, OutputsThatCannotBeCreatedAreRefusedWithTheirName) {
    fs::create_directory(dir_ / "folder");
    WavWriter wav;
    std::string error;
    EXPECT_FALSE(wav.Open(Path("missing/out.wav"), &error));
    EXPECT_NE(error.find("missing/out.wav"), std::string::npos) << error;
    EXPECT_FALSE(wav.Open(Path("folder"), &error));
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
    EXPECT_FALSE(WriteFileSafely(Path("folder"), "x", 1, &error));
    EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(HostOutputsTest, DevicesAreWrittenInPlaceAndLongNamesGetAShortTemporaryName) {
    std::string error;
    const std::string null = Device("null", "/dev/null", 3), full = Device("full", "/dev/full", 7);
    fs::create_symlink(null, dir_ / "null.wav");
    ASSERT_TRUE(WriteFileSafely(Path("null.wav"), "data", 4, &error)) << error;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "null.wav")));
    EXPECT_TRUE(fs::is_character_file(null));
    EXPECT_FALSE(WriteFileSafely(full, "data", 4, &error));
    EXPECT_EQ(error, full + ": cannot be written: No space left on device");
    EXPECT_TRUE(fs::is_character_file(full));
    // The longest name a folder entry may have.
    const std::string longest(255, 'L');
    ASSERT_TRUE(WriteFileSafely(Path(longest), "data", 4, &error)) << error;
    EXPECT_EQ(ReadText(longest), "data");
    EXPECT_EQ(FileCount(), 4u);
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
