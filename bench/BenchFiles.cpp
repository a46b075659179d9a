#include "BenchFiles.h"

#include <utility>

namespace wrapper::bench {

BenchFiles::BenchFiles(std::u16string tempDirectory) : tempDirectory_(std::move(tempDirectory)) {}

std::uint32_t BenchFiles::GetOwnPath(char16_t* buffer, std::uint32_t capacity) {
    return posix_.GetOwnPath(buffer, capacity);
}

std::uint32_t BenchFiles::GetTempDirectory(char16_t* buffer, std::uint32_t capacity) {
    const auto length = static_cast<std::uint32_t>(tempDirectory_.size());
    // Like the system: when it does not fit, the size needed with the terminator.
    if (length + 1 > capacity) return length + 1;
    tempDirectory_.copy(buffer, length);
    buffer[length] = u'\0';
    return length;
}

platform::FileHandle BenchFiles::OpenForReading(const char16_t* path) {
    return posix_.OpenForReading(path);
}

platform::FileHandle BenchFiles::CreateNew(const char16_t* path) { return posix_.CreateNew(path); }

platform::FileHandle BenchFiles::OpenAndHold(const char16_t* path) {
    return posix_.OpenAndHold(path);
}

bool BenchFiles::GetIdentity(platform::FileHandle file, platform::FileIdentity* identity) {
    return posix_.GetIdentity(file, identity);
}

bool BenchFiles::Seek(platform::FileHandle file, std::int64_t distance,
                      platform::SeekOrigin origin, std::int64_t* newPosition) {
    return posix_.Seek(file, distance, origin, newPosition);
}

bool BenchFiles::Read(platform::FileHandle file, void* buffer, std::uint32_t size,
                      std::uint32_t* bytesRead) {
    return posix_.Read(file, buffer, size, bytesRead);
}

bool BenchFiles::Write(platform::FileHandle file, const void* buffer, std::uint32_t size,
                       std::uint32_t* bytesWritten) {
    return posix_.Write(file, buffer, size, bytesWritten);
}

void BenchFiles::Close(platform::FileHandle file) { posix_.Close(file); }

platform::DeleteOutcome BenchFiles::Delete(const char16_t* path) { return posix_.Delete(path); }

bool BenchFiles::DeleteAtRestart(const char16_t* path) { return posix_.DeleteAtRestart(path); }

std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t c = lead;
        std::size_t extra = 0;
        if (lead >= 0xF0) {
            c = lead & 0x07;
            extra = 3;
        } else if (lead >= 0xE0) {
            c = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xC0) {
            c = lead & 0x1F;
            extra = 1;
        }
        ++i;
        for (; extra > 0 && i < text.size(); --extra, ++i) {
            c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace wrapper::bench
