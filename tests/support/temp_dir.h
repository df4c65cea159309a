// A fresh folder for each test under the system's temporary folder, removed afterwards, for
// tests that read and write real files.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kivo::test {

class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A parameterised test's name holds a '/': one folder, not two.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = std::filesystem::temp_directory_path() /
               ("kivo-test-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string ReadText(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void WriteText(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    // A character device named `name` in the test folder that behaves as the system's
    // `system_node` (/dev/null is 1:3, /dev/full 1:7). As root it is a node of its own, so that a
    // fault that replaces a device replaces this one, never the system's; any other user gets a
    // link to the system's node, which such a fault cannot replace (/dev is not theirs).
    std::string Device(const std::string& name, const char* system_node, unsigned minor) const {
        const std::string path = Path(name);
        if (::geteuid() != 0 || ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0) {
            std::filesystem::create_symlink(system_node, path);
        }
        return path;
    }
    // Only the expected files: no temporary file is ever left behind.
    std::size_t FileCount() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                                      std::filesystem::directory_iterator()));
    }

    // Whether a temporary file of a safe write is left anywhere in the test folder.
    bool TemporaryFileLeft() const {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
            if (entry.path().filename().string().find(".kivo-tmp-") != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::filesystem::path dir_;
};

}  // namespace kivo::test
