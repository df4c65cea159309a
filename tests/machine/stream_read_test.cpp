// Bounded whole-file reads: every byte up to the limit, from files of any size and from streams
// that cannot tell their size.
#include "machine/stream_read.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kivo {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    return bytes;
}

TEST(StreamRead, ReadsUpToTheLimitWhateverTheFileSize) {
    const struct {
        std::size_t size, limit, skip;
    } cases[] = {{0, 100, 0},          {1, 100, 0},          {100, 100, 0},
                 {101, 100, 0},        {0x8000, 1 << 20, 0}, {0x8001, 1 << 20, 0},
                 {300000, 1 << 20, 0}, {300000, 70000, 0},   {5000, 1000, 4500},
                 {5000, 1000, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.size << " bytes, limit " << c.limit << ", from " << c.skip);
        const std::vector<std::uint8_t> data = Pattern(c.size);
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        if (!data.empty()) {
            ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), file), data.size());
        }
        std::fseek(file, static_cast<long>(c.skip), SEEK_SET);
        std::vector<std::uint8_t> out(1, 0xEE);  // replaced, not appended to
        EXPECT_TRUE(ReadStreamUpTo(file, c.limit, &out));
        std::fclose(file);
        const std::size_t end = std::min(c.size, c.skip + c.limit);
        EXPECT_EQ(out, std::vector<std::uint8_t>(data.begin() + c.skip, data.begin() + end));
        // The buffer follows the file, not the limit: a small file costs a small buffer.
        if (c.size > 0) {
            EXPECT_LE(out.capacity(), c.size - c.skip + 1);
        }
    }
}

TEST(StreamRead, ReadsAStreamThatCannotSeek) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Less than a pipe's buffer, so that it is written whole before the read starts.
    const std::vector<std::uint8_t> data = Pattern(40000);
    ASSERT_EQ(::write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fds[1]);
    std::FILE* file = ::fdopen(fds[0], "rb");
    ASSERT_NE(file, nullptr);
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(ReadStreamUpTo(file, 1 << 20, &out));
    std::fclose(file);
    EXPECT_EQ(out, data);
}

TEST(StreamRead, AReadErrorIsReported) {
    // A folder opens as a stream on Linux, and reading it fails.
    std::FILE* folder = std::fopen("/", "rb");
    ASSERT_NE(folder, nullptr);
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(ReadStreamUpTo(folder, 100, &out));
    std::fclose(folder);
}

}  // namespace
}  // namespace kivo
