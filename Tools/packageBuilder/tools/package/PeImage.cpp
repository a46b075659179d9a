#include "tools/package/PeImage.h"

#include "tools/cli/ToolText.h"

#include "package/PeLayout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace wrapper::tools::package {

namespace {

using host::ByteSource;

using namespace wrapper::package::pe;

constexpr std::uint32_t kMaxSections = 96;  // the loader's own limit
constexpr std::uint32_t kRtVersion = 16;
// Far more than any version resource needs; a bigger one is not read.
constexpr std::uint32_t kMaxVersionResource = 64 * 1024;
constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

class Region {
public:
    Region(ByteSource& source, std::uint64_t start, std::uint64_t length)
        : source_(source), start_(start), length_(length) {}

    // Reads `size` bytes at `offset` within the region; false when they are not all there.
    bool Read(std::uint64_t offset, void* out, std::size_t size) {
        if (offset > length_ || size > length_ - offset) return false;
        const host::Expected<bool> all = host::ReadExactly(source_, start_ + offset, out, size);
        return all && *all;
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

private:
    ByteSource& source_;
    std::uint64_t start_;
    std::uint64_t length_;
};

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
};

// The region offset of `size` bytes at virtual address `rva`, when one section's raw data
// holds them all.
std::optional<std::uint64_t> OffsetOf(const std::vector<Section>& sections, std::uint32_t rva,
                                      std::uint32_t size) {
    for (const Section& section : sections) {
        if (rva < section.virtualAddress) continue;
        const std::uint64_t within = std::uint64_t{rva} - section.virtualAddress;
        if (within <= section.rawSize && size <= section.rawSize - within) {
            return std::uint64_t{section.rawOffset} + within;
        }
    }
    return std::nullopt;
}

std::uint32_t Le16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return bytes[at] | (bytes[at + 1] << 8);
}
std::uint32_t Le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return Le16(bytes, at) | (Le16(bytes, at + 2) << 16);
}

// One node of a version resource: wLength, wValueLength, wType, a zero-terminated UTF-16
// key, padding to 32 bits, the value, padding, then child nodes up to wLength. Offsets are
// into the resource's bytes, whose start is 32-bit aligned.
struct VersionNode {
    std::u16string key;
    std::size_t valueStart = 0;
    std::size_t childrenStart = 0;  // also the value's end, after padding
    std::size_t end = 0;
};

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// The node at `at`, which must end by `limit`.
std::optional<VersionNode> ReadNode(const std::vector<std::uint8_t>& bytes, std::size_t at,
                                    std::size_t limit) {
    if (at + 6 > limit) return std::nullopt;
    const std::size_t length = Le16(bytes, at);
    std::size_t valueLength = Le16(bytes, at + 2);
    const bool text = Le16(bytes, at + 4) == 1;
    if (length < 6 || length > limit - at) return std::nullopt;
    VersionNode node;
    node.end = at + length;
    std::size_t cursor = at + 6;
    for (;; cursor += 2) {
        if (cursor + 2 > node.end) return std::nullopt;
        const auto unit = static_cast<char16_t>(Le16(bytes, cursor));
        if (unit == u'\0') break;
        node.key += unit;
    }
    node.valueStart = std::min(Align4(cursor + 2), node.end);
    if (text) valueLength *= 2;  // text values count UTF-16 units
    node.childrenStart = std::min(Align4(node.valueStart + valueLength), node.end);
    return node;
}

// Visits the child nodes of `parent`.
template <typename Visit>
void ForEachChild(const std::vector<std::uint8_t>& bytes, const VersionNode& parent, Visit visit) {
    for (std::size_t at = parent.childrenStart; at < parent.end;) {
        const auto child = ReadNode(bytes, at, parent.end);
        if (!child) return;
        visit(*child);
        at = Align4(child->end);
    }
}

// A text value: UTF-16 up to its terminator or the node's end.
std::string TextValue(const std::vector<std::uint8_t>& bytes, const VersionNode& node) {
    std::u16string text;
    for (std::size_t at = node.valueStart; at + 2 <= node.end; at += 2) {
        const auto unit = static_cast<char16_t>(Le16(bytes, at));
        if (unit == u'\0') break;
        text += unit;
    }
    return cli::Utf16ToUtf8(text);
}

std::optional<VersionResource> ParseVersionResource(const std::vector<std::uint8_t>& bytes) {
    const auto root = ReadNode(bytes, 0, bytes.size());
    if (!root || root->key != u"VS_VERSION_INFO") return std::nullopt;
    VersionResource version;
    if (root->childrenStart - root->valueStart >= 52 &&
        Le32(bytes, root->valueStart) == kFixedFileInfoSignature) {
        const std::uint32_t high = Le32(bytes, root->valueStart + 8);
        const std::uint32_t low = Le32(bytes, root->valueStart + 12);
        version.fileVersion = std::array<std::uint16_t, 4>{
            static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
            static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
    }
    bool tableRead = false;
    ForEachChild(bytes, *root, [&](const VersionNode& block) {
        if (block.key != u"StringFileInfo") return;
        ForEachChild(bytes, block, [&](const VersionNode& table) {
            if (tableRead) return;  // the first language only
            tableRead = true;
            ForEachChild(bytes, table, [&](const VersionNode& entry) {
                if (entry.key == u"ProductName") version.productName = TextValue(bytes, entry);
                if (entry.key == u"ProductVersion") {
                    version.productVersion = TextValue(bytes, entry);
                }
                if (entry.key == u"FileDescription") {
                    version.fileDescription = TextValue(bytes, entry);
                }
            });
        });
    });
    return version;
}

// The data of the first RT_VERSION resource: type 16, then the first name, then the first
// language. Every offset in the resource tree is checked against the resource section.
std::optional<VersionResource> ReadVersionResource(Region& region,
                                                   const std::vector<Section>& sections,
                                                   std::uint32_t rva, std::uint32_t size) {
    const auto base = OffsetOf(sections, rva, size);
    if (!base || size < 16) return std::nullopt;
    // Offsets inside the tree are relative to its start and must stay within its size.
    auto entryOf = [&](std::uint32_t directory, bool byId, std::uint32_t id,
                       std::uint32_t& target) -> bool {
        std::uint32_t named = 0;
        std::uint32_t ids = 0;
        if (directory > size - 16 || !region.U16(*base + directory + 12, named) ||
            !region.U16(*base + directory + 14, ids)) {
            return false;
        }
        const std::uint64_t first = std::uint64_t{directory} + 16;
        for (std::uint32_t i = 0; i < named + ids; ++i) {
            const std::uint64_t entry = first + std::uint64_t{i} * 8;
            std::uint32_t name = 0;
            if (entry + 8 > size || !region.U32(*base + entry, name) ||
                !region.U32(*base + entry + 4, target)) {
                return false;
            }
            if (!byId || (i >= named && name == id)) return true;
        }
        return false;
    };
    constexpr std::uint32_t kSubdirectory = 0x80000000u;
    std::uint32_t names = 0;
    std::uint32_t languages = 0;
    std::uint32_t data = 0;
    if (!entryOf(0, true, kRtVersion, names) || !(names & kSubdirectory) ||
        !entryOf(names & ~kSubdirectory, false, 0, languages) || !(languages & kSubdirectory) ||
        !entryOf(languages & ~kSubdirectory, false, 0, data) || (data & kSubdirectory) ||
        data > size - 16) {
        return std::nullopt;
    }
    std::uint32_t dataRva = 0;
    std::uint32_t dataSize = 0;
    if (!region.U32(*base + data, dataRva) || !region.U32(*base + data + 4, dataSize) ||
        dataSize > kMaxVersionResource) {
        return std::nullopt;
    }
    const auto at = OffsetOf(sections, dataRva, dataSize);
    std::vector<std::uint8_t> bytes(dataSize);
    if (!at || !region.Read(*at, bytes.data(), bytes.size())) return std::nullopt;
    return ParseVersionResource(bytes);
}

}  // namespace

PeInfo ReadPeInfo(ByteSource& source, std::uint64_t start, std::uint64_t length) {
    PeInfo info;
    Region region(source, start, length);
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

    const std::uint64_t coff = std::uint64_t{lfanew} + kSignatureSize;
    const std::uint64_t optional = std::uint64_t{lfanew} + kOptionalHeader;
    std::uint32_t machine = 0;
    std::uint32_t sectionCount = 0;
    std::uint32_t optionalSize = 0;
    std::uint32_t characteristics = 0;
    if (!region.U16(coff + kCoffMachine, machine) ||
        !region.U16(coff + kCoffSectionCount, sectionCount) ||
        !region.U16(coff + kCoffOptionalHeaderSize, optionalSize) ||
        !region.U16(coff + kCoffCharacteristics, characteristics)) {
        return info;
    }
    info.machine = static_cast<std::uint16_t>(machine);
    info.characteristics = static_cast<std::uint16_t>(characteristics);

    std::uint32_t magic = 0;
    if (!region.U16(optional, magic)) return info;
    const std::uint32_t countOffset = DirectoryCountOffset(magic);
    if (countOffset == 0) return info;
    if (kCheckSumOffset + 4 <= optionalSize) info.checksumOffset = optional + kCheckSumOffset;
    // The whole optional header must be there, not just the field.
    std::uint32_t subsystem = 0;
    if (kSubsystemOffset + 2 <= optionalSize &&
        region.U16(optional + optionalSize - 2, subsystem) &&
        region.U16(optional + kSubsystemOffset, subsystem)) {
        info.subsystem = static_cast<std::uint16_t>(subsystem);
    }

    // Data directory entries, as far as the optional header and its count hold them.
    std::uint32_t directoryCount = 0;
    if (countOffset + 4 > optionalSize || !region.U32(optional + countOffset, directoryCount)) {
        return info;
    }
    auto directory = [&](std::uint32_t index, std::uint32_t& address, std::uint32_t& size) {
        const std::uint32_t entry = DirectoryEntryOffset(countOffset, index);
        return index < directoryCount && entry + kDirectoryEntrySize <= optionalSize &&
               region.U32(optional + entry, address) && region.U32(optional + entry + 4, size);
    };
    std::uint32_t tableOffset = 0;
    std::uint32_t tableSize = 0;
    if (directory(kSecurityDirectory, tableOffset, tableSize)) {
        info.certificateEntryOffset =
            optional + DirectoryEntryOffset(countOffset, kSecurityDirectory);
        if (tableSize != 0) info.certificateTable = CertificateTable{tableOffset, tableSize};
    }

    std::uint32_t resourceRva = 0;
    std::uint32_t resourceSize = 0;
    if (!directory(kResourceDirectory, resourceRva, resourceSize) || resourceSize == 0 ||
        sectionCount > kMaxSections) {
        return info;
    }
    std::vector<Section> sections;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        const std::uint64_t at = optional + optionalSize + std::uint64_t{i} * kSectionHeaderSize;
        Section section{};
        if (!region.U32(at + kSectionVirtualAddress, section.virtualAddress) ||
            !region.U32(at + kSectionRawSize, section.rawSize) ||
            !region.U32(at + kSectionRawOffset, section.rawOffset)) {
            return info;
        }
        sections.push_back(section);
    }
    info.version = ReadVersionResource(region, sections, resourceRva, resourceSize);
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

std::string MachineName(std::uint16_t machine) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", machine);
    switch (machine) {
        case kMachineI386: return std::string("x86 (") + hex + ")";
        case kMachineAmd64: return std::string("x64 (") + hex + ")";
        case 0xAA64: return std::string("ARM64 (") + hex + ")";
        case 0x01C4: return std::string("ARM (") + hex + ")";
        case 0x0200: return std::string("IA-64 (") + hex + ")";
        default: return hex;
    }
}

std::string VersionText(const std::array<std::uint16_t, 4>& version) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]) + "." + std::to_string(version[3]);
}

}  // namespace wrapper::tools::package
