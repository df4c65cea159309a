#include "common/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "machine/stream_read.h"

namespace kivo {

namespace fs = std::filesystem;

namespace {

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
    if (error) *error = path + ": " + reason;
    return false;
}

}  // namespace

TempFile::~TempFile() {
    Discard();
}

bool TempFile::Create(const std::string& target, std::string* error) {
    Discard();
    target_ = target;
    if (target.empty()) return Fail(error, target, "no file name");
    fs::path final_path(target);
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(final_path, ec))) {
        const fs::path resolved = fs::canonical(final_path, ec);
        if (!ec) final_path = resolved;
    }
    if (final_path.filename().empty()) return Fail(error, target, "no file name");
    final_path_ = final_path.string();

    // A replaced file keeps its permissions; a new one gets 0666 less the umask, as any file the
    // user creates.
    mode_t mode = 0666;
    struct stat st {};
    if (::stat(final_path_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return Fail(error, target, "is a directory");
        mode = st.st_mode & 07777;
    }
    // The name carries the process id and a counter, and O_EXCL refuses an existing file, so two
    // programs writing into the same folder never share a temporary file.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = final_path_ + ".kivo-tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return Fail(error, target, std::string("cannot be written: ") + std::strerror(errno));
        }
        file_ = ::fdopen(fd, "wb");
        if (!file_) {
            const int saved = errno;
            ::close(fd);
            ::unlink(name.c_str());
            return Fail(error, target, std::strerror(saved));
        }
        temp_path_ = std::move(name);
        pending_ = true;
        return true;
    }
    return Fail(error, target, "cannot create a temporary file");
}

bool TempFile::Close(std::string* error) {
    if (!file_) return pending_ || Fail(error, target_, "no file to close");
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    int saved = ok ? 0 : errno;
    if (ok && ::fsync(::fileno(file_)) != 0) {
        ok = false;
        saved = errno;
    }
    if (std::fclose(file_) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    file_ = nullptr;
    if (!ok) {
        Discard();
        return Fail(error, target_, saved ? std::strerror(saved) : "write error");
    }
    return true;
}

bool TempFile::Commit(std::string* error) {
    if (file_ && !Close(error)) return false;
    if (!pending_) return Fail(error, target_, "nothing to write");
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
        const int saved = errno;
        Discard();
        return Fail(error, target_, std::strerror(saved));
    }
    pending_ = false;
    return true;
}

void TempFile::Discard() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (pending_) {
        ::unlink(temp_path_.c_str());
        pending_ = false;
    }
}

bool WriteFileSafely(const std::string& path, const void* data, std::size_t size,
                     std::string* error) {
    TempFile temp;
    if (!temp.Create(path, error)) return false;
    if (size != 0 && std::fwrite(data, 1, size, temp.file()) != size) {
        const int saved = errno;
        temp.Discard();
        return Fail(error, path, std::string("cannot be written: ") + std::strerror(saved));
    }
    return temp.Commit(error);
}

bool ReadFileUpTo(const std::string& path, std::size_t limit, std::vector<std::uint8_t>* out,
                  std::string* error) {
    out->clear();
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) return Fail(error, path, "file not found");
    if (fs::is_directory(status)) return Fail(error, path, "is a directory");

    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return Fail(error, path, std::strerror(errno));
    const bool read = ReadStreamUpTo(file, limit, out);
    const int err = errno;
    std::fclose(file);
    if (!read) {
        out->clear();
        return Fail(error, path, std::string("cannot read: ") + std::strerror(err));
    }
    return true;
}

}  // namespace kivo
