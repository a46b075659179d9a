#include "tools/host/ToolFiles.h"
#include "tools/host/ToolFilesSystem.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wrapper::tools::host {

namespace {

namespace fs = std::filesystem;

std::string SystemReason(int error) { return std::strerror(error); }

PathKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return PathKind::Regular;
    if (S_ISDIR(mode)) return PathKind::Directory;
    if (S_ISLNK(mode)) return PathKind::SymbolicLink;
    if (S_ISFIFO(mode)) return PathKind::Fifo;
    if (S_ISCHR(mode)) return PathKind::CharacterDevice;
    if (S_ISBLK(mode)) return PathKind::BlockDevice;
    if (S_ISSOCK(mode)) return PathKind::Socket;
    return PathKind::Other;
}

FileIdentity IdentityOf(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// The file an interrupted process removes: set before the file is created, cleared once it
// is renamed or removed. Only async-signal-safe calls touch it in the handler.
char removeOnSignal[4096];
volatile std::sig_atomic_t armed = 0;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveAndDie(int signal) {
    if (armed != 0) ::unlink(removeOnSignal);
    // The handler was installed with SA_RESETHAND: the signal now ends the process as it
    // would have without the handler, and the parent sees which one it was.
    ::raise(signal);
}

void InstallCleanupHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int signal : kCleanupSignals) {
        struct sigaction current {};
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction handler {};
        handler.sa_handler = RemoveAndDie;
        handler.sa_flags = SA_RESETHAND;
        sigemptyset(&handler.sa_mask);
        ::sigaction(signal, &handler, nullptr);
    }
}

// Blocks the cleanup signals while the armed path changes, so the handler never sees half
// of it.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (const int signal : kCleanupSignals) sigaddset(&set, signal);
        ::sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

}  // namespace

Expected<std::unique_ptr<InputFile>> InputFile::Open(const fs::path& path) {
    // Looked at before it is opened: opening a FIFO would wait for a writer, and opening a
    // device can do things of its own.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return Unexpected{SystemReason(errno)};
    if (!S_ISREG(status.st_mode)) {
        return Unexpected{std::string("not a regular file (") +
                          DescribeKind(KindOf(status.st_mode)) + ")"};
    }
    // Non-blocking, in case it was replaced by a FIFO in the meantime; checked again below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Unexpected{SystemReason(errno)};
    UniqueSystemFile file(theSystem, SystemFile{fd});
    if (::fstat(fd, &status) != 0) return Unexpected{SystemReason(errno)};
    if (!S_ISREG(status.st_mode)) {
        return Unexpected{std::string("not a regular file (") +
                          DescribeKind(KindOf(status.st_mode)) + ")"};
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::unique_ptr<InputFile>(new InputFile(
        std::move(file), static_cast<std::uint64_t>(status.st_size), IdentityOf(status)));
}

void SystemFileTraits::Close(System&, SystemFile file) { ::close(static_cast<int>(file.value)); }

Expected<std::size_t> InputFile::ReadOnce(std::uint64_t offset, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n =
            ::pread(static_cast<int>(handle_.Get().value), buffer, size, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) {
            return Unexpected{"reading at offset " + std::to_string(offset) +
                              " failed: " + SystemReason(errno)};
        }
    }
}

Expected<OutputLook> LookAtOutput(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return OutputLook{};
        return Unexpected{SystemReason(errno)};
    }
    return OutputLook{KindOf(status.st_mode), IdentityOf(status)};
}

fs::path OwnExecutable() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : path;
}

namespace system {

bool Arm(const fs::path& path) {
    InstallCleanupHandlers();
    const std::string& text = path.native();
    if (text.size() >= sizeof removeOnSignal) return false;
    SignalsHeld held;
    std::memcpy(removeOnSignal, text.c_str(), text.size() + 1);
    armed = 1;
    return true;
}

void Disarm() {
    SignalsHeld held;
    armed = 0;
}

bool CreateNew(const fs::path& path, std::intptr_t& handle, bool& exists, std::string& reason) {
    // Mode 0666 less the umask, as any new file gets; O_EXCL never opens what exists.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    exists = fd < 0 && errno == EEXIST;
    if (fd < 0) reason = SystemReason(errno);
    handle = fd;
    return fd >= 0;
}

bool WriteSome(std::intptr_t handle, const void* data, std::size_t size, std::size_t& written,
               std::string& reason) {
    for (;;) {
        const ssize_t n = ::write(static_cast<int>(handle), data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) reason = SystemReason(errno);
        if (n == 0) reason = "nothing was written";
        written = n > 0 ? static_cast<std::size_t>(n) : 0;
        return n > 0;
    }
}

bool FlushToDisk(std::intptr_t handle, std::string& reason) {
    if (::fsync(static_cast<int>(handle)) == 0) return true;
    reason = SystemReason(errno);
    return false;
}

bool Close(std::intptr_t handle, std::string& reason) {
    if (::close(static_cast<int>(handle)) == 0) return true;
    reason = SystemReason(errno);
    return false;
}

bool RenameOver(const fs::path& from, const fs::path& to, std::string& reason) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    reason = SystemReason(errno);
    return false;
}

void Remove(const fs::path& path) { ::unlink(path.c_str()); }

}  // namespace system

}  // namespace wrapper::tools::host
