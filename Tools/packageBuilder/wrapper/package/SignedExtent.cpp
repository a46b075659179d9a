#include "package/SignedExtent.h"

#include "package/PeLayout.h"

#include <bit>
#include <cstring>

namespace wrapper::package {

namespace {

using namespace pe;

// From e_lfanew, every field read here: the wider PE32+ form puts the certificate table's
// entry furthest.
constexpr std::uint32_t kSizeOfOptionalHeader = kSignatureSize + kCoffOptionalHeaderSize;
constexpr std::uint32_t kHeadersRead =
    kOptionalHeader + DirectoryEntryOffset(kPe32PlusDirectoryCount, kSecurityDirectory + 1);

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
    const std::uint32_t countOffset = DirectoryCountOffset(Le16(pe + kOptionalHeader));
    if (countOffset == 0) return kSuccess;
    const std::uint32_t entryOffset = DirectoryEntryOffset(countOffset, kSecurityDirectory);
    if (kOptionalHeader + entryOffset + kDirectoryEntrySize > length ||
        entryOffset + kDirectoryEntrySize > Le16(pe + kSizeOfOptionalHeader) ||
        Le32(pe + kOptionalHeader + countOffset) <= kSecurityDirectory) {
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
