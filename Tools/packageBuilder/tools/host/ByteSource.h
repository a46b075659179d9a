#pragma once

// Bytes a producer tool reads: a file it opened, bytes in memory, or the parts of a package
// it is about to write, one after the other. The tools read packages, launchers and
// payloads only through this, so that what they check is exactly what they read or write.

#include "tools/host/Expected.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wrapper::tools::host {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // The size in bytes, fixed when the source was opened.
    virtual std::uint64_t Size() const = 0;

    // Reads up to `size` bytes at `offset` into `buffer` and gives the count, which is smaller
    // than `size` only at the end of the source (0 at or past it). Fails on a read error (a
    // file that shrank while it was read included).
    virtual Expected<std::size_t> ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

// Bytes held in memory (a copy).
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    Expected<std::size_t> ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;

private:
    std::vector<std::uint8_t> bytes_;
};

// Sources one after the other, read as one. The parts are not owned and must outlive it.
class ConcatSource final : public ByteSource {
public:
    void Append(ByteSource& part);
    std::uint64_t Size() const override { return size_; }
    Expected<std::size_t> ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override;

private:
    struct Part {
        ByteSource* source;
        std::uint64_t start;
    };
    std::vector<Part> parts_;
    std::uint64_t size_ = 0;
};

// Reads exactly `size` bytes at `offset`: true when they were all there, false when the
// source ends first; fails when a read fails.
Expected<bool> ReadExactly(ByteSource& source, std::uint64_t offset, void* buffer,
                           std::size_t size);

}  // namespace wrapper::tools::host
