#include "package/SignedExtent.h"

#include <bit>
#include <cstring>

namespace wrapper::package {

namespace {

// The MZ header, with e_lfanew (the offset of the PE signature) at 0x3C.
constexpr std::uint32_t kMzHeaderSize = 0x40;
constexpr std::uint32_t kLfanewOffset = 0x3C;

// From e_lfanew: "PE\0\0", the 20-byte file header, then the optional header. Offsets
// within the optional header depend on its magic; the wider PE32+ form puts entry 4's end
// at 152, so this many bytes hold every field read here.
constexpr std::uint32_t kOptionalHeader = 4 + 20;
constexpr std::uint32_t kSizeOfOptionalHeader = 4 + 16;
constexpr std::uint32_t kHeadersRead = kOptionalHeader + 152;
constexpr std::uint32_t kSecurityEntry = 4;

// Header fields are little-endian, as are the launcher's machine and the tools' hosts.
static_assert(std::endian::native == std::endian::little);
std::uint32_t Le16(const unsigned char* p) {
    std::uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}
std::uint32_t Le32(const unsigned char* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

ResultCode ReadAt(platform::Files& files, platform::FileHandle file, std::int64_t offset,
                  unsigned char* buffer, std::uint32_t size) {
    if (!files.Seek(file, offset, platform::SeekOrigin::Begin, nullptr)) {
        return kScanSeekOrCreateFailed;
    }
    std::uint32_t got = 0;
    if (!files.Read(file, buffer, size, &got) || got != size) return kScanReadOrCopyFailed;
    return kSuccess;
}

// The security entry of the data directory, as the headers give it: `offset` and `size`
// stay 0 when the file has no such entry (see FindSignedExtent for what counts).
ResultCode ReadSecurityEntry(platform::Files& files, platform::FileHandle file,
                             std::int64_t fileSize, std::int64_t& offset, std::int64_t& size) {
    offset = 0;
    size = 0;
    if (fileSize < kMzHeaderSize) return kSuccess;
    unsigned char mz[kMzHeaderSize];
    ResultCode result = ReadAt(files, file, 0, mz, kMzHeaderSize);
    if (result != kSuccess || mz[0] != 'M' || mz[1] != 'Z') return result;

    const std::uint32_t peOffset = Le32(mz + kLfanewOffset);
    if (peOffset >= fileSize) return kSuccess;
    // Only what the file holds is read; a field past it is missing, not an error.
    const std::int64_t available = fileSize - peOffset;
    const auto length =
        static_cast<std::uint32_t>(available < kHeadersRead ? available : kHeadersRead);
    unsigned char pe[kHeadersRead] = {};
    result = ReadAt(files, file, peOffset, pe, length);
    if (result != kSuccess) return result;

    constexpr std::uint32_t kPeSignature = 'P' | 'E' << 8;  // "PE\0\0"
    if (length < kOptionalHeader + 2 || Le32(pe) != kPeSignature) return kSuccess;
    // The directory's entry count and entries follow the fields both forms share.
    std::uint32_t countOffset = 0;
    switch (Le16(pe + kOptionalHeader)) {
        case 0x10B: countOffset = 92; break;   // PE32
        case 0x20B: countOffset = 108; break;  // PE32+
        default: return kSuccess;
    }
    const std::uint32_t entryOffset = countOffset + 4 + kSecurityEntry * 8;
    if (kOptionalHeader + entryOffset + 8 > length ||
        entryOffset + 8 > Le16(pe + kSizeOfOptionalHeader) ||
        Le32(pe + kOptionalHeader + countOffset) <= kSecurityEntry) {
        return kSuccess;
    }
    offset = Le32(pe + kOptionalHeader + entryOffset);
    size = Le32(pe + kOptionalHeader + entryOffset + 4);
    return kSuccess;
}

}  // namespace

ResultCode FindSignedExtent(platform::Files& files, platform::FileHandle file,
                            std::int64_t fileSize, std::int64_t& tableStart,
                            std::int64_t& tableEnd) {
    std::int64_t offset = 0;
    std::int64_t size = 0;
    const ResultCode result = ReadSecurityEntry(files, file, fileSize, offset, size);
    tableStart = fileSize;
    tableEnd = fileSize;
    if (size != 0 && offset < fileSize) {
        tableStart = offset;
        if (offset + size < fileSize) tableEnd = offset + size;
    }
    return result;
}

ResultCode FindCertificateTable(platform::Files& files, platform::FileHandle file,
                                std::int64_t fileSize, std::int64_t& tableOffset,
                                std::int64_t& tableSize) {
    std::int64_t offset = 0;
    std::int64_t size = 0;
    const ResultCode result = ReadSecurityEntry(files, file, fileSize, offset, size);
    const bool endsTheFile = size != 0 && offset + size == fileSize;
    tableOffset = endsTheFile ? offset : 0;
    tableSize = endsTheFile ? size : 0;
    return result;
}

}  // namespace wrapper::package
