#include "posix/PosixFiles.h"

#include <cerrno>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace wrapper::bench::posix {

namespace {

// The system's name for a UTF-16 path: UTF-8. Text that is not valid UTF-16 names no
// file; it becomes the empty name, which every call refuses.
std::string ToUtf8(const char16_t* text) {
    try {
        return std::filesystem::path(std::u16string_view(text)).string();
    } catch (const std::exception&) {
        return {};
    }
}

// Descriptors are stored plus one, so that descriptor 0 is never "no file".
FileHandle FromDescriptor(int fd) {
    return fd < 0 ? FileHandle{} : FileHandle{static_cast<std::uintptr_t>(fd) + 1};
}
int ToDescriptor(FileHandle file) { return static_cast<int>(file.value - 1); }

}  // namespace

std::uint32_t PosixFiles::GetOwnPath(char16_t*, std::uint32_t) { return 0; }

std::uint32_t PosixFiles::GetTempDirectory(char16_t*, std::uint32_t) { return 0; }

FileHandle PosixFiles::OpenForReading(const char16_t* path) {
    return FromDescriptor(::open(ToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC));
}

FileHandle PosixFiles::CreateNew(const char16_t* path) {
    return FromDescriptor(::open(ToUtf8(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
}

FileHandle PosixFiles::OpenAndHold(const char16_t* path) { return OpenForReading(path); }

bool PosixFiles::GetIdentity(FileHandle file, FileIdentity* identity) {
    struct stat status {};
    if (::fstat(ToDescriptor(file), &status) != 0) return false;
    identity->volumeSerial = static_cast<std::uint32_t>(status.st_dev);
    identity->fileIndex = static_cast<std::uint64_t>(status.st_ino);
    return true;
}

bool PosixFiles::Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
                      std::int64_t* newPosition) {
    const int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    // lseek refuses a negative target with EINVAL and leaves the position, as the system does.
    const off_t moved = ::lseek(ToDescriptor(file), static_cast<off_t>(distance), whence);
    if (moved < 0) return false;
    if (newPosition != nullptr) *newPosition = moved;
    return true;
}

bool PosixFiles::Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
    // Like a synchronous ReadFile on a file: keep reading until the request is met or the
    // file ends, so a short count always means the end of the file.
    std::uint32_t total = 0;
    while (total < size) {
        const ssize_t got = ::read(ToDescriptor(file), static_cast<char*>(buffer) + total, size - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            *bytesRead = total;
            return false;
        }
        if (got == 0) break;
        total += static_cast<std::uint32_t>(got);
    }
    *bytesRead = total;
    return true;
}

bool PosixFiles::Write(FileHandle file, const void* buffer, std::uint32_t size,
                       std::uint32_t* bytesWritten) {
    const int fd = ToDescriptor(file);
    return WriteAll([fd](const char* bytes, std::uint32_t count) { return ::write(fd, bytes, count); },
                    buffer, size, bytesWritten);
}

void PosixFiles::Close(FileHandle file) { ::close(ToDescriptor(file)); }

DeleteOutcome PosixFiles::Delete(const char16_t* path) {
    if (::unlink(ToUtf8(path).c_str()) == 0) return DeleteOutcome::Deleted;
    return errno == ENOENT || errno == ENOTDIR ? DeleteOutcome::NotFound : DeleteOutcome::Failed;
}

bool PosixFiles::DeleteAtRestart(const char16_t*) { return false; }

}  // namespace wrapper::bench::posix
