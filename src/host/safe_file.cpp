#include "host/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kivo {

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
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Fail(error, target, "is a directory");
    }
    // The name carries the process id and a counter, and O_EXCL refuses an existing file, so
    // two runs writing into the same folder never share a temporary file. Mode 0666 lets the
    // umask decide the final permissions, as for any file the user creates.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target + ".kivo-tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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
    if (std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
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

bool WriteFileAtomically(const std::string& path, const void* data, std::size_t size,
                         std::string* error) {
    TempFile temp;
    if (!temp.Create(path, error)) return false;
    if (size != 0 && std::fwrite(data, 1, size, temp.file()) != size) {
        const int saved = errno;
        temp.Discard();
        return Fail(error, path, std::strerror(saved));
    }
    return temp.Commit(error);
}

}  // namespace kivo
