#include "PeImage.h"

#include <cstring>

namespace packagebuilder {

namespace {

constexpr std::uint32_t kLfanewOffset = 0x3C;
constexpr std::uint32_t kMzHeaderSize = 0x40;
constexpr std::uint32_t kCoffHeaderSize = 20;
constexpr std::uint32_t kSizeOfOptionalHeaderOffset = 16;  // within the COFF header
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kSecurityDirectory = 4;
constexpr std::uint32_t kDirectoryEntrySize = 8;

class Region {
public:
    Region(std::istream& in, std::uint64_t start, std::uint64_t length)
        : in_(in), start_(start), length_(length) {}

    // Reads `size` bytes at `offset` within the region; false when they are not all there.
    bool Read(std::uint64_t offset, void* out, std::uint32_t size) {
        if (offset > length_ || size > length_ - offset) return false;
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(start_ + offset));
        in_.read(static_cast<char*>(out), size);
        return in_.gcount() == static_cast<std::streamsize>(size);
    }
    bool U16(std::uint64_t offset, std::uint32_t& value) {
        unsigned char b[2];
        if (!Read(offset, b, 2)) return false;
        value = b[0] | (b[1] << 8);
        return true;
    }
    bool U32(std::uint64_t offset, std::uint32_t& value) {
        unsigned char b[4];
        if (!Read(offset, b, 4)) return false;
        value = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
        return true;
    }
    std::uint64_t length() const { return length_; }

private:
    std::istream& in_;
    std::uint64_t start_;
    std::uint64_t length_;
};

}  // namespace

PeInfo ReadPeInfo(std::istream& in, std::uint64_t start, std::uint64_t length) {
    PeInfo info;
    Region region(in, start, length);
    if (length == 0) return info;

    char mz[2];
    std::uint32_t lfanew = 0;
    if (length < kMzHeaderSize || !region.Read(0, mz, 2) || std::memcmp(mz, "MZ", 2) != 0 ||
        !region.U32(kLfanewOffset, lfanew)) {
        info.verdict = PeVerdict::NoMzHeader;
        return info;
    }
    info.peOffset = lfanew;
    char signature[4];
    if (!region.Read(lfanew, signature, 4) || std::memcmp(signature, "PE\0\0", 4) != 0) {
        info.verdict = PeVerdict::NoPeSignature;
        return info;
    }
    info.verdict = PeVerdict::Executable;

    // The certificate table, if the optional header is long enough to name it.
    const std::uint64_t coff = std::uint64_t{lfanew} + 4;
    const std::uint64_t optional = coff + kCoffHeaderSize;
    std::uint32_t optionalSize = 0;
    std::uint32_t magic = 0;
    if (!region.U16(coff + kSizeOfOptionalHeaderOffset, optionalSize) ||
        !region.U16(optional, magic)) {
        return info;
    }
    std::uint32_t countOffset = 0;
    if (magic == kPe32Magic) {
        countOffset = 92;
    } else if (magic == kPe32PlusMagic) {
        countOffset = 108;
    } else {
        return info;
    }
    const std::uint32_t directoriesOffset = countOffset + 4;
    const std::uint32_t entryOffset = directoriesOffset + kSecurityDirectory * kDirectoryEntrySize;
    std::uint32_t directoryCount = 0;
    std::uint32_t tableOffset = 0;
    std::uint32_t tableSize = 0;
    if (entryOffset + kDirectoryEntrySize > optionalSize ||
        !region.U32(optional + countOffset, directoryCount) ||
        directoryCount <= kSecurityDirectory || !region.U32(optional + entryOffset, tableOffset) ||
        !region.U32(optional + entryOffset + 4, tableSize)) {
        return info;
    }
    if (tableSize != 0) info.certificateTable = CertificateTable{tableOffset, tableSize};
    return info;
}

const char* DescribeVerdict(PeVerdict verdict) {
    switch (verdict) {
        case PeVerdict::Executable: return "a Windows executable";
        case PeVerdict::Empty: return "empty";
        case PeVerdict::NoMzHeader: return "not a Windows executable: no MZ header at its start";
        case PeVerdict::NoPeSignature:
            return "not a Windows executable: its MZ header does not point at a PE signature";
    }
    return "";
}

}  // namespace packagebuilder
