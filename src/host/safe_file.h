// Output files that are written whole or not at all. The data goes to a temporary file in the
// target's folder (so the final rename never crosses file systems), and only a complete, flushed
// temporary file is renamed over the target. A failure at any point removes the temporary file
// and leaves an existing target untouched: a full disk never destroys the previous file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace kivo {

class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    // An uncommitted temporary file is removed.
    ~TempFile();

    // Creates an empty temporary file beside target. False, with "<target>: <reason>" in
    // *error, when the folder is missing or not writable, or target names a folder.
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
    std::string target_;
    std::string temp_path_;
    std::FILE* file_ = nullptr;
    bool pending_ = false;  // a temporary file exists that is not yet renamed
};

// Writes size bytes to path through a TempFile: the whole file or, on failure, no change.
bool WriteFileAtomically(const std::string& path, const void* data, std::size_t size,
                         std::string* error);

}  // namespace kivo
