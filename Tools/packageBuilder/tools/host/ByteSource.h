#pragma once

// Bytes a producer tool reads: a file it opened, bytes in memory, or the parts of a package
// it is about to write, one after the other. The tools read packages, launchers and
// payloads only through this, so that what they check is exactly what they read or write.

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

    // Reads up to `size` bytes at `offset` into `buffer`; `got` receives the count, which is
    // smaller than `size` only at the end of the source (0 at or past it). False on a read
    // error (a file that shrank while it was read included), `error` then holding the
    // reason and `got` unspecified.
    virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
                        std::string& error) = 0;
};

// Bytes held in memory (a copy).
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
                std::string& error) override;

private:
    std::vector<std::uint8_t> bytes_;
};

// Sources one after the other, read as one. The parts are not owned and must outlive it.
class ConcatSource final : public ByteSource {
public:
    void Append(ByteSource& part);
    std::uint64_t Size() const override { return size_; }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
                std::string& error) override;

private:
    struct Part {
        ByteSource* source;
        std::uint64_t start;
    };
    std::vector<Part> parts_;
    std::uint64_t size_ = 0;
};

// Reads exactly `size` bytes at `offset`; false when they are not all there or a read fails
// (`error` is set only for a failure).
bool ReadExactly(ByteSource& source, std::uint64_t offset, void* buffer, std::size_t size,
                 std::string& error);

}  // namespace wrapper::tools::host
