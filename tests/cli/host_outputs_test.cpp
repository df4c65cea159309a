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

namespace kivo {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class HostOutputsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kivo-host-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // Only the expected files: no temporary file is ever left behind.
    std::size_t FileCount() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

TEST_F(HostOutputsTest, OutputsReplaceTheOldFileWholeOnlyAtCommit) {
    std::ofstream(dir_ / "out.wav") << "previous";
    std::string error;
    const std::vector<std::uint8_t> block(kBlockBytes, 1);
    {
        WavWriter wav;
        ASSERT_TRUE(wav.Open(Path("out.wav"), &error));
        wav.StreamSoundBlock(block.data());
        ASSERT_TRUE(wav.Finish(&error));
        // Destroyed without Commit, as when a later output of the run fails.
    }
    EXPECT_EQ(ReadAll(dir_ / "out.wav"), "previous");
    WavWriter wav;
    ASSERT_TRUE(wav.Open(Path("out.wav"), &error));
    wav.StreamSoundBlock(block.data());
    EXPECT_EQ(ReadAll(dir_ / "out.wav"), "previous");
    ASSERT_TRUE(wav.Commit(&error)) << error;
    EXPECT_EQ(ReadAll(dir_ / "out.wav").size(), 44u + kBlockBytes);
    ASSERT_TRUE(WriteFileSafely(Path("out.wav"), "new", 3, &error)) << error;
    EXPECT_EQ(ReadAll(dir_ / "out.wav"), "new");
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

}  // namespace
}  // namespace kivo
