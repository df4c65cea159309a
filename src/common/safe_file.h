// Whole-file reads and crash-safe writes for every file the user keeps or asks for: states,
// memory files, battery saves, the INI file, screenshots and recordings. A write to a regular
// file (or a new one) goes to a temporary file in the target's folder (so the final rename never
// crosses file systems) and is renamed over the target only once every byte is on disk: a full
// disk, a missing folder or a crash never leaves a half-written file in place of the previous
// one. A target that is not a regular file (a character device such as /dev/null, a FIFO), and
// any existing name under /dev or /proc (/dev/stdout), is never replaced: the data is kept in an
// anonymous file until the commit and then written into the target as it is.
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
    // *error, when the folder is missing or not writable, or target names a folder or a block
    // device. Saving over a link replaces the file it points to; a replaced file keeps its
    // permissions. The temporary name is short enough for any target name the system accepts.
    bool Create(const std::string& target, std::string* error);
    // The open temporary file, for writing; null before Create and after Close.
    std::FILE* file() const { return file_; }
    const std::string& target() const { return target_; }
    // True when the target is a device or a FIFO, written in place at Commit.
    bool direct() const { return direct_; }
    // Flushes the data to the disk and closes the file; reports any write error met so far.
    bool Close(std::string* error);
    // Renames the closed temporary file over the target, or writes the data into a device or
    // FIFO target. A FIFO that no process reads is refused rather than waited for.
    bool Commit(std::string* error);
    // Removes the temporary file; the target is not touched.
    void Discard();

  private:
    std::string target_;      // as the caller named it, for messages
    std::string final_path_;  // where the rename goes: the target, or the file a link points to
    std::string temp_path_;
    std::FILE* file_ = nullptr;
    std::FILE* spill_ = nullptr;  // direct targets: the anonymous file holding the data
    int slot_ = -1;               // entry in the list of temporary files to remove on a signal
    bool pending_ = false;        // a temporary file exists that is not yet renamed
    bool direct_ = false;
};

// Removes every temporary file not yet committed or discarded, in any TempFile of the process.
// Only unlink() is called, so a signal handler may call it (kivo-run does on SIGINT and SIGTERM).
void RemoveTemporaryFilesNow();

// Replaces (or creates) `path` with `size` bytes through a TempFile. On failure returns false
// with "<path>: <reason>" in *error; an existing file is then untouched and no temporary file
// remains.
bool WriteFileSafely(const std::string& path, const void* data, std::size_t size,
                     std::string* error);

// Reads at most `limit` bytes from the start of `path` into *out. Returns false with
// "<path>: <reason>" when the file is missing, is not a regular file (a directory, a FIFO, a
// device: never waited on) or cannot be read; *out is then empty.
bool ReadFileUpTo(const std::string& path, std::size_t limit, std::vector<std::uint8_t>* out,
                  std::string* error);

// What a path is when it is not a regular file ("is a directory", "is a FIFO", "is a device"),
// for messages; empty for a regular file or a path that does not exist.
std::string NotRegularFileReason(const std::string& path);

}  // namespace kivo
