#include "common/safe_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
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

std::string ReasonForMode(mode_t mode) {
    if (S_ISDIR(mode)) return "is a directory";
    if (S_ISFIFO(mode)) return "is a FIFO, not a file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a file";
    if (S_ISSOCK(mode)) return "is a socket, not a file";
    if (!S_ISREG(mode)) return "is not a regular file";
    return {};
}

// The temporary files not yet renamed or removed, kept in fixed slots that a signal handler can
// walk without allocating or locking: free (0), being filled (1), holding a path (2).
struct PendingSlot {
    std::atomic<int> state{0};
    char path[4096];
};
PendingSlot g_pending[16];
static_assert(std::atomic<int>::is_always_lock_free);

int RegisterPending(const std::string& path) {
    if (path.size() >= sizeof(PendingSlot::path)) return -1;
    for (int i = 0; i < static_cast<int>(std::size(g_pending)); ++i) {
        int expected = 0;
        if (g_pending[i].state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            std::memcpy(g_pending[i].path, path.c_str(), path.size() + 1);
            g_pending[i].state.store(2, std::memory_order_release);
            return i;
        }
    }
    return -1;  // more than 16 at once: this one is simply not removed on a signal
}

void UnregisterPending(int* slot) {
    if (*slot >= 0) g_pending[*slot].state.store(0, std::memory_order_release);
    *slot = -1;
}

// The temporary name: the target's name cut short enough that the suffix always fits a name of
// `max_name` bytes, cut between two UTF-8 characters.
std::string TempName(const std::string& name, std::size_t max_base, unsigned counter) {
    std::size_t n = std::min(name.size(), max_base);
    while (n > 0 && n < name.size() && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
    return name.substr(0, n) + ".kivo-tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter);
}

// Writes all of `file` into fd. SIGPIPE is held back while writing, so a reader that goes away
// is an error (EPIPE) rather than the end of the program.
bool CopyInto(std::FILE* file, int fd, int* err) {
    sigset_t pipe_set, old_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
    bool ok = std::fseek(file, 0, SEEK_SET) == 0;
    if (!ok) *err = errno;
    char buffer[65536];
    while (ok) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (got == 0) {
            if (std::ferror(file)) {
                ok = false;
                *err = EIO;
            }
            break;
        }
        for (std::size_t done = 0; done < got;) {
            const ssize_t put = ::write(fd, buffer + done, got - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                ok = false;
                *err = put < 0 ? errno : EIO;
                break;
            }
            done += static_cast<std::size_t>(put);
        }
    }
    if (!ok && *err == EPIPE && !sigismember(&old_set, SIGPIPE)) {
        // Take the SIGPIPE our write raised before it can be delivered.
        const timespec no_wait{0, 0};
        while (::sigtimedwait(&pipe_set, nullptr, &no_wait) == SIGPIPE) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    return ok;
}

}  // namespace

void RemoveTemporaryFilesNow() {
    for (PendingSlot& slot : g_pending) {
        if (slot.state.load(std::memory_order_acquire) == 2) ::unlink(slot.path);
    }
}

std::string NotRegularFileReason(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return ReasonForMode(st.st_mode);
}

TempFile::~TempFile() {
    Discard();
}

bool TempFile::Create(const std::string& target, std::string* error) {
    Discard();
    target_ = target;
    direct_ = false;
    if (target.empty()) return Fail(error, target, "no file name");
    fs::path final_path(target);
    std::error_code ec;
    // Names in the system's device and process folders (/dev/stdout, /dev/fd/3, /proc/self/fd/1)
    // stand for files the program was handed: they are written in place whatever they lead to.
    const std::string absolute = fs::absolute(final_path, ec).lexically_normal().string();
    const bool system_name = absolute.rfind("/dev/", 0) == 0 || absolute.rfind("/proc/", 0) == 0;
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
        if (S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode)) {
            return Fail(error, target, ReasonForMode(st.st_mode));
        }
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || system_name) {
            final_path_ = target;
            // A device or a FIFO is written in place at the commit, never replaced; until then
            // the data waits in an anonymous file that vanishes with the process.
            if (::access(final_path_.c_str(), W_OK) != 0) {
                return Fail(error, target,
                            std::string("cannot be written: ") + std::strerror(errno));
            }
            spill_ = std::tmpfile();
            if (!spill_) {
                return Fail(error, target,
                            std::string("no room for the data: ") + std::strerror(errno));
            }
            file_ = spill_;
            direct_ = true;
            pending_ = true;
            return true;
        }
        mode = st.st_mode & 07777;
    }
    // The name carries the process id and a counter, and O_EXCL refuses an existing file, so two
    // programs writing into the same folder never share a temporary file.
    static std::atomic<unsigned> counter{0};
    const fs::path folder = final_path.parent_path();
    const std::string name = final_path.filename().string();
    std::size_t max_base = 200;  // the suffix takes at most 28 bytes of the 255 a name may have
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = (folder / TempName(name, max_base, counter.fetch_add(1))).string();
        // Listed before it exists, so that no signal finds it on the disk but not in the list.
        slot_ = RegisterPending(path);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) {
            const int saved = errno;
            UnregisterPending(&slot_);
            if (saved == EEXIST) continue;
            // A file system with shorter names than usual: a shorter temporary name.
            if (saved == ENAMETOOLONG && max_base > 8) {
                max_base = 8;
                continue;
            }
            return Fail(error, target, std::string("cannot be written: ") + std::strerror(saved));
        }
        file_ = ::fdopen(fd, "wb");
        if (!file_) {
            const int saved = errno;
            ::close(fd);
            ::unlink(path.c_str());
            UnregisterPending(&slot_);
            return Fail(error, target, std::strerror(saved));
        }
        temp_path_ = path;
        pending_ = true;
        return true;
    }
    return Fail(error, target, "cannot create a temporary file");
}

bool TempFile::Close(std::string* error) {
    if (!file_) return pending_ || Fail(error, target_, "no file to close");
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    int saved = ok ? 0 : errno;
    if (direct_) {
        // The anonymous file stays open: the commit copies it into the target.
        file_ = nullptr;
    } else {
        if (ok && ::fsync(::fileno(file_)) != 0) {
            ok = false;
            saved = errno;
        }
        if (std::fclose(file_) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        file_ = nullptr;
    }
    if (ok) return true;
    Discard();
    return Fail(error, target_,
                std::string("cannot be written: ") + std::strerror(saved ? saved : EIO));
}

bool TempFile::Commit(std::string* error) {
    if (file_ && !Close(error)) return false;
    if (!pending_) return Fail(error, target_, "nothing to write");
    if (direct_) {
        // O_NONBLOCK: a FIFO that nobody reads fails at once (ENXIO) instead of hanging.
        // O_APPEND: a regular file reached through /dev/stdout keeps what is already in it.
        const int fd =
            ::open(final_path_.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            const int saved = errno;
            Discard();
            return Fail(error, target_,
                        saved == ENXIO ? "is a FIFO that no program reads"
                                       : std::string("cannot be written: ") + std::strerror(saved));
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        int saved = 0;
        bool ok = CopyInto(spill_, fd, &saved);
        if (::close(fd) != 0 && ok && errno != EINTR) {
            ok = false;
            saved = errno;
        }
        Discard();
        if (!ok)
            return Fail(error, target_, std::string("cannot be written: ") + std::strerror(saved));
        return true;
    }
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
        const int saved = errno;
        Discard();
        return Fail(error, target_, std::strerror(saved));
    }
    pending_ = false;
    UnregisterPending(&slot_);
    return true;
}

void TempFile::Discard() {
    if (spill_) {
        std::fclose(spill_);
        if (file_ == spill_) file_ = nullptr;
        spill_ = nullptr;
    }
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (pending_ && !direct_) ::unlink(temp_path_.c_str());
    pending_ = false;
    UnregisterPending(&slot_);
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
    // O_NONBLOCK so that opening a FIFO returns at once; only a regular file is then read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int saved = errno;
        if (saved == ENOENT || saved == ENOTDIR) return Fail(error, path, "file not found");
        return Fail(error, path, std::strerror(saved));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string reason = ReasonForMode(st.st_mode);
        ::close(fd);
        return Fail(error, path, reason.empty() ? "cannot read" : reason);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        const int saved = errno;
        ::close(fd);
        return Fail(error, path, std::strerror(saved));
    }
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
