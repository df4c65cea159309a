// The headless host outputs: the WAV recorder and the safe file writes behind every output file,
// PNG encoding, and the null presenter's copy of the picture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/null_presenter.h"
#include "host/png_writer.h"
#include "host/safe_file.h"
#include "host/wav_writer.h"

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
    std::size_t FileCount() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

TEST_F(HostOutputsTest, WavRecordingAppearsWholeOnlyAtCommit) {
    WavWriter wav;
    std::string error;
    ASSERT_TRUE(wav.Open(Path("out.wav"), &error)) << error;
    std::vector<std::uint8_t> block(kBlockBytes);
    for (int b = 0; b < 3; ++b) {
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i + b);
        wav.StreamSoundBlock(block.data());
    }
    EXPECT_FALSE(fs::exists(dir_ / "out.wav"));
    ASSERT_TRUE(wav.Commit(&error)) << error;

    const std::string file = ReadAll(dir_ / "out.wav");
    ASSERT_EQ(file.size(), 44u + 3u * kBlockBytes);
    EXPECT_EQ(file.substr(0, 4), "RIFF");
    EXPECT_EQ(file.substr(36, 4), "data");
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(file[i]); };
    EXPECT_EQ(byte(40) | byte(41) << 8 | byte(42) << 16, 3 * kBlockBytes);
    EXPECT_EQ(byte(4) | byte(5) << 8 | byte(6) << 16, 36 + 3 * kBlockBytes);
    // Blocks in order, bytes unchanged (the samples are little-endian already).
    EXPECT_EQ(byte(44), 0);
    EXPECT_EQ(byte(44 + kBlockBytes), 1);
    EXPECT_EQ(byte(44 + 2 * kBlockBytes + 5), 7);
    EXPECT_EQ(FileCount(), 1u);  // no temporary file left
}

TEST_F(HostOutputsTest, AbandonedRecordingLeavesTheOldFileAndNoTemporaryFile) {
    std::ofstream(dir_ / "out.wav") << "previous";
    {
        WavWriter wav;
        std::string error;
        ASSERT_TRUE(wav.Open(Path("out.wav"), &error));
        std::vector<std::uint8_t> block(kBlockBytes, 1);
        wav.StreamSoundBlock(block.data());
        ASSERT_TRUE(wav.Finish(&error));
        // Destroyed without Commit, as when a later output of the run fails.
    }
    EXPECT_EQ(ReadAll(dir_ / "out.wav"), "previous");
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
    EXPECT_FALSE(WriteFileAtomically(Path("folder"), "x", 1, &error));
    EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(HostOutputsTest, AtomicWriteReplacesAnExistingFile) {
    std::ofstream(dir_ / "f") << "a much longer previous content";
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(Path("f"), "new", 3, &error)) << error;
    EXPECT_EQ(ReadAll(dir_ / "f"), "new");
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(HostOutputsTest, PngKeepsTheColoursAndDropsTheLayerTag) {
    Picture picture{};
    picture[0] = 1;     // blue
    picture[1] = 2;     // green
    picture[2] = 3;     // red
    picture[3] = 0x83;  // layer tag: not a colour
    const std::size_t last = picture.size() - 4;
    picture[last + 2] = 255;
    std::string error;
    ASSERT_TRUE(WritePngFile(Path("p.png"), picture.data(), 160, 144, &error)) << error;
    const std::string bytes = ReadAll(dir_ / "p.png");
    std::vector<std::uint8_t> png(bytes.begin(), bytes.end()), rgb;
    int width = 0, height = 0;
    ASSERT_TRUE(DecodePng(png, &width, &height, &rgb, &error)) << error;
    EXPECT_EQ(width, 160);
    EXPECT_EQ(height, 144);
    ASSERT_EQ(rgb.size(), 160u * 144u * 3u);
    EXPECT_EQ(rgb[0], 3);
    EXPECT_EQ(rgb[1], 2);
    EXPECT_EQ(rgb[2], 1);
    EXPECT_EQ(rgb[3], 0);
    EXPECT_EQ(rgb[rgb.size() - 3], 255);
}

TEST(NullPresenter, KeepsTheVisiblePixelsOfTheLastCopiedFrame) {
    std::vector<std::uint8_t> frame(kScreenHeight * kLineBytes, 0);
    frame[kVisibleOffset - 4] = 0xEE;  // last margin pixel of line 0: never shown
    frame[kVisibleOffset] = 0x11;      // visible pixel 0 of line 0
    frame[143 * kLineBytes + kVisibleOffset + 159 * 4 + 2] = 0x22;  // red of the last pixel
    NullPresenter presenter;
    EXPECT_FALSE(presenter.has_picture());
    presenter.CopyFrameToSurface(frame.data());
    presenter.PresentFrame();
    EXPECT_TRUE(presenter.has_picture());
    EXPECT_EQ(presenter.frames_presented(), 1u);
    const Picture& p = presenter.picture();
    EXPECT_EQ(p[0], 0x11);
    EXPECT_EQ(p[p.size() - 2], 0x22);
    EXPECT_EQ(std::count(p.begin(), p.end(), 0xEE), 0);
}

}  // namespace
}  // namespace kivo
