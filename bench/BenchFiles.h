#pragma once

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/posix/PosixFiles.h"

#include <cstdint>
#include <string>

namespace wrapper::bench {

// The POSIX file services with a temporary directory: PosixFiles has none, and extraction
// needs one. Every other call goes straight to PosixFiles, so the measured work is the
// same system calls the host tools make.
//
// The extracted file's name is the directory text, "\Zorvik", a number and ".exe". With a
// POSIX directory such as "/tmp/bench/" the backslash is simply part of the file name
// ("/tmp/bench/\Zorvik38.exe"), which is all a benchmark needs.
class BenchFiles final : public platform::Files {
public:
    // `tempDirectory` is returned as given (UTF-16 units); it should end with '/'.
    explicit BenchFiles(std::u16string tempDirectory);

    std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) override;
    std::uint32_t GetTempDirectory(char16_t* buffer, std::uint32_t capacity) override;
    platform::FileHandle OpenForReading(const char16_t* path) override;
    platform::FileHandle CreateNew(const char16_t* path) override;
    platform::FileHandle OpenAndHold(const char16_t* path) override;
    bool GetIdentity(platform::FileHandle file, platform::FileIdentity* identity) override;
    bool Seek(platform::FileHandle file, std::int64_t distance, platform::SeekOrigin origin,
              std::int64_t* newPosition) override;
    bool Read(platform::FileHandle file, void* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) override;
    bool Write(platform::FileHandle file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) override;
    void Close(platform::FileHandle file) override;
    platform::DeleteOutcome Delete(const char16_t* path) override;
    bool DeleteAtRestart(const char16_t* path) override;

private:
    platform::posix::PosixFiles posix_;
    std::u16string tempDirectory_;
};

// A clock that counts up by one second per call, so that back-to-back extractions pick
// different temporary names even within one real second.
class CountingClock final : public platform::Clock {
public:
    std::uint64_t SecondsSince1970() override { return next_++; }
    void Pause(std::uint32_t) override {}

private:
    std::uint64_t next_ = 1'700'000'000;
};

// UTF-8 (as the command line gives it) to UTF-16, for ASCII and Latin paths alike.
std::u16string ToUtf16(const std::string& text);

}  // namespace wrapper::bench
