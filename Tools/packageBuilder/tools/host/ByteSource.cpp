#include "tools/host/ByteSource.h"

#include <algorithm>
#include <cstring>

namespace wrapper::tools::host {

bool MemorySource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
                          std::string&) {
    got = 0;
    if (offset >= bytes_.size()) return true;
    got = static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes_.size() - offset));
    if (got != 0) std::memcpy(buffer, bytes_.data() + offset, got);
    return true;
}

void ConcatSource::Append(ByteSource& part) {
    parts_.push_back({&part, size_});
    size_ += part.Size();
}

bool ConcatSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size, std::size_t& got,
                          std::string& error) {
    got = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (const Part& part : parts_) {
        const std::uint64_t end = part.start + part.source->Size();
        if (got == size || offset >= size_) break;
        if (offset >= end) continue;
        const std::uint64_t within = offset - part.start;
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - got, end - offset));
        std::size_t read = 0;
        if (!part.source->ReadAt(within, out + got, want, read, error)) return false;
        got += read;
        offset += read;
        // A part that delivers less than its size ends the whole source early.
        if (read < want) break;
    }
    return true;
}

bool ReadExactly(ByteSource& source, std::uint64_t offset, void* buffer, std::size_t size,
                 std::string& error) {
    std::size_t got = 0;
    return source.ReadAt(offset, buffer, size, got, error) && got == size;
}

}  // namespace wrapper::tools::host
