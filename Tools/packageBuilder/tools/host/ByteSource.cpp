#include "tools/host/ByteSource.h"

#include <algorithm>
#include <cstring>

namespace wrapper::tools::host {

Expected<std::size_t> MemorySource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset >= bytes_.size()) return std::size_t{0};
    const auto got =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes_.size() - offset));
    if (got != 0) std::memcpy(buffer, bytes_.data() + offset, got);
    return got;
}

void ConcatSource::Append(ByteSource& part) {
    parts_.push_back({&part, size_});
    size_ += part.Size();
}

Expected<std::size_t> ConcatSource::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    std::size_t got = 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (const Part& part : parts_) {
        const std::uint64_t end = part.start + part.source->Size();
        if (got == size || offset >= size_) break;
        if (offset >= end) continue;
        const std::uint64_t within = offset - part.start;
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - got, end - offset));
        const Expected<std::size_t> partRead = part.source->ReadAt(within, out + got, want);
        if (!partRead) return partRead;
        const std::size_t read = *partRead;
        got += read;
        offset += read;
        // A part that delivers less than its size ends the whole source early.
        if (read < want) break;
    }
    return got;
}

Expected<bool> ReadExactly(ByteSource& source, std::uint64_t offset, void* buffer,
                           std::size_t size) {
    const Expected<std::size_t> got = source.ReadAt(offset, buffer, size);
    if (!got) return Unexpected{got.error()};
    return *got == size;
}

}  // namespace wrapper::tools::host
