// Whole-file reads and crash-safe writes for every file the user keeps or asks for: states,
// memory files, battery saves, the INI file, screenshots and recordings. A write goes to a
// temporary file in the target's folder (so the final rename never crosses file systems) and is
// renamed over the target only once every byte is on disk: a full disk, a missing folder or a
// crash never leaves a half-written file in place of the previous one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivo {

class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    // An uncommitted temporary file is removed.
    ~TempFile();

    // Creates an empty temporary file beside target. False, with "<target>: <reason>" in
    // *error, when the folder is missing or not writable, or target names a folder. Saving over
    // a link replaces the file it points to; a replaced file keeps its permissions.
    bool Create(const std::string& target, std::string* error);
    // The open temporary file, for writing; null before Create and after Close.
    std::FILE* file() const { return file_; }
    const std::string& temp_path() const { return temp_path_; }
    const std::string& target() const { return target_; }
    // Flushes the data to the disk and closes the file; reports any write error met so far.
    bool Close(std::string* error);
    // Renames the closed temporary file over the target.
    bool Commit(std::string* error);
    // Removes the temporary file; the target is not touched.
    void Discard();

  private:
    std::string target_;      // as the caller named it, for messages
    std::string final_path_;  // where the rename goes: the target, or the file a link points to
    std::string temp_path_;
    std::FILE* file_ = nullptr;
    bool pending_ = false;  // a temporary file exists that is not yet renamed
};

// Replaces (or creates) `path` with `size` bytes through a TempFile. On failure returns false
// with "<path>: <reason>" in *error; an existing file is then untouched and no temporary file
// remains.
bool WriteFileSafely(const std::string& path, const void* data, std::size_t size,
                     std::string* error);

// Reads at most `limit` bytes from the start of `path` into *out. Returns false with
// "<path>: <reason>" when the file is missing, is a directory or cannot be read; *out is then
// empty.
bool ReadFileUpTo(const std::string& path, std::size_t limit, std::vector<std::uint8_t>* out,
                  std::string* error);

}  // namespace kivo
