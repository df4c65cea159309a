#include "ui/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kivo {

namespace fs = std::filesystem;

namespace {

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
    if (error) *error = path + ": " + reason;
    return false;
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// Writes all bytes, resuming after partial writes and interrupted calls.
bool WriteAll(int fd, const u8* data, std::size_t size, int* err) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A name in the target's folder that no other writer uses: the process id keeps two running
// programs apart, the counter two saves of the same program.
std::string TempNameFor(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    std::string name(1, '.');
    name += target.filename().string();
    name += ".tmp-";
    name += std::to_string(::getpid());
    name += '-';
    name += std::to_string(counter++);
    fs::path temp = target;
    temp.replace_filename(name);
    return temp.string();
}

}  // namespace

bool WriteFileSafely(const std::string& path, const void* data, std::size_t size,
                     std::string* error) {
    if (path.empty()) return Fail(error, path, "no file name");
    fs::path target(path);
    std::error_code ec;
    // Saving over a link replaces the file it points to, not the link.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec) target = resolved;
    }
    if (target.filename().empty()) return Fail(error, path, "no file name");

    // A replaced file keeps its permissions; a new one gets the usual ones (0666 less umask).
    mode_t mode = 0666;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return Fail(error, path, "is a directory");
        mode = st.st_mode & 07777;
    }

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = TempNameFor(target);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return Fail(error, path, "cannot write: " + ErrnoText(errno));

    int err = 0;
    bool ok = WriteAll(fd, static_cast<const u8*>(data), size, &err);
    if (ok && ::fsync(fd) != 0) {
        err = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        err = errno;
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return Fail(error, path, "cannot write: " + ErrnoText(err));
    }
    return true;
}

bool ReadFileUpTo(const std::string& path, std::size_t limit, std::vector<u8>* out,
                  std::string* error) {
    out->clear();
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) return Fail(error, path, "file not found");
    if (fs::is_directory(status)) return Fail(error, path, "is a directory");

    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return Fail(error, path, ErrnoText(errno));
    out->resize(limit);
    std::size_t total = 0;
    while (total < limit) {
        const std::size_t n = std::fread(out->data() + total, 1, limit - total, file);
        if (n == 0) break;
        total += n;
    }
    const bool failed = std::ferror(file) != 0;
    const int err = errno;
    std::fclose(file);
    if (failed) {
        out->clear();
        return Fail(error, path, "cannot read: " + ErrnoText(err));
    }
    out->resize(total);
    return true;
}

}  // namespace kivo
