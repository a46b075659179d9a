#pragma once

// Where a Windows executable's headers keep the fields the launcher and the tools read:
// offsets in bytes, little-endian fields. The MZ header's e_lfanew gives the file offset of
// the PE signature; the COFF file header follows the signature, the optional header
// follows that, and its data directory ends it. The section table follows the optional
// header, whose size the COFF header gives.

#include <cstdint>

namespace wrapper::package::pe {

// The MZ header.
inline constexpr std::uint32_t kMzHeaderSize = 0x40;
inline constexpr std::uint32_t kLfanewOffset = 0x3C;  // e_lfanew, 32 bits

// From e_lfanew: "PE\0\0", then the COFF file header.
inline constexpr std::uint32_t kSignatureSize = 4;
inline constexpr std::uint32_t kCoffHeaderSize = 20;
// Fields of the COFF file header, 16 bits each.
inline constexpr std::uint32_t kCoffMachine = 0;
inline constexpr std::uint32_t kCoffSectionCount = 2;
inline constexpr std::uint32_t kCoffOptionalHeaderSize = 16;
inline constexpr std::uint32_t kCoffCharacteristics = 18;
// The optional header, from e_lfanew.
inline constexpr std::uint32_t kOptionalHeader = kSignatureSize + kCoffHeaderSize;

// Fields of the optional header. Its first 16 bits are the magic, which says its form;
// the two forms share the offsets up to CheckSum, and differ from there on.
inline constexpr std::uint16_t kPe32Magic = 0x10B;
inline constexpr std::uint16_t kPe32PlusMagic = 0x20B;
inline constexpr std::uint32_t kCheckSumOffset = 64;  // 32 bits, both forms
inline constexpr std::uint32_t kSubsystemOffset = 68;  // 16 bits, both forms
inline constexpr std::uint32_t kPe32DirectoryCount = 92;       // NumberOfRvaAndSizes
inline constexpr std::uint32_t kPe32PlusDirectoryCount = 108;  // likewise, PE32+

// The data directory follows its 32-bit count: entries of a 32-bit address (a file offset
// for the certificate table) and a 32-bit size.
inline constexpr std::uint32_t kDirectoryEntrySize = 8;
inline constexpr std::uint32_t kResourceDirectory = 2;
inline constexpr std::uint32_t kSecurityDirectory = 4;  // the certificate table

// The optional header offset of the data directory's count for `magic`; 0 for a form
// neither reader knows.
constexpr std::uint32_t DirectoryCountOffset(std::uint32_t magic) {
    return magic == kPe32Magic ? kPe32DirectoryCount
           : magic == kPe32PlusMagic ? kPe32PlusDirectoryCount
                                     : 0;
}

// Offset within the optional header of data directory entry `index`, given its count's.
constexpr std::uint32_t DirectoryEntryOffset(std::uint32_t countOffset, std::uint32_t index) {
    return countOffset + 4 + index * kDirectoryEntrySize;
}

// A section header and its fields, 32 bits each.
inline constexpr std::uint32_t kSectionHeaderSize = 40;
inline constexpr std::uint32_t kSectionVirtualAddress = 12;
inline constexpr std::uint32_t kSectionRawSize = 16;
inline constexpr std::uint32_t kSectionRawOffset = 20;

}  // namespace wrapper::package::pe
