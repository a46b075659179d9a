#pragma once

#include "platform/Files.h"

#include <cerrno>
#include <sys/types.h>

namespace wrapper::bench::posix {

using platform::DeleteOutcome;
using platform::FileHandle;
using platform::FileIdentity;
using platform::SeekOrigin;

// The launcher's file services over POSIX system calls, so that the benchmarks run the
// launcher's own locator and extraction on real files. Paths are UTF-16 and converted to UTF-8 for the
// system. Only what reading and writing packages needs is real: the own path and the
// temporary directory are not available here and report failure.
class PosixFiles final : public platform::Files {
public:
    std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) override;
    std::uint32_t GetTempDirectory(char16_t* buffer, std::uint32_t capacity) override;
    FileHandle OpenForReading(const char16_t* path) override;
    FileHandle CreateNew(const char16_t* path) override;
    // POSIX has no share modes: the file is opened for reading, and others keep every right.
    FileHandle OpenAndHold(const char16_t* path) override;
    // The device and inode numbers.
    bool GetIdentity(FileHandle file, FileIdentity* identity) override;
    bool Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
              std::int64_t* newPosition) override;
    bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override;
    bool Write(FileHandle file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) override;
    void Close(FileHandle file) override;
    DeleteOutcome Delete(const char16_t* path) override;
    // The host has no restart queue: always false.
    bool DeleteAtRestart(const char16_t* path) override;
};

// Writes all `size` bytes with `writeSome`, a call shaped like write(2) (bytes or
// nothing, returning the count written or -1 with errno set), again and again until
// they are all written. An interrupted call is retried. Fails on an error and on a call
// that writes nothing, which would only be repeated for ever. `bytesWritten` receives
// the count written either way.
template <class WriteSome>
bool WriteAll(WriteSome&& writeSome, const void* buffer, std::uint32_t size,
              std::uint32_t* bytesWritten) {
    std::uint32_t total = 0;
    while (total < size) {
        const ssize_t put = writeSome(static_cast<const char*>(buffer) + total, size - total);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        total += static_cast<std::uint32_t>(put);
    }
    *bytesWritten = total;
    return total == size;
}

}  // namespace wrapper::bench::posix
