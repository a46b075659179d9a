#pragma once

#include "platform/Files.h"

namespace wrapper::platform::posix {

// The file services over POSIX system calls, so that host tools read packages with the
// launcher's own locator and reader. Paths are UTF-16 and converted to UTF-8 for the
// system. Only what reading and writing packages needs is real: the own path and the
// temporary directory are not available here and report failure.
class PosixFiles final : public Files {
public:
    std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) override;
    std::uint32_t GetTempDirectory(std::uint32_t capacity, char16_t* buffer) override;
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

}  // namespace wrapper::platform::posix
