#pragma once

// What the tools need from a Windows executable's headers: whether a run of bytes is one at
// all, what it is for (machine, DLL or program), what it calls itself (its version
// resource), and where its code signature lies and which header fields signing leaves out
// of the signed digest. Every offset and size read from the bytes is checked against the
// region before it is used.

#include "tools/host/ByteSource.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace wrapper::tools::package {

enum class PeVerdict {
    Executable,     // "MZ", and "PE\0\0" where the MZ header's e_lfanew points
    Empty,          // no bytes at all
    NoMzHeader,     // does not start with "MZ" (or is shorter than the MZ header)
    NoPeSignature,  // e_lfanew points outside the bytes or not at "PE\0\0"
};

// Entry 4 of the optional header's data directory. Unlike the other entries it holds a
// file offset, not a virtual address. Offset and size in bytes.
struct CertificateTable {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The version resource's strings (UTF-8) from its first string table, and the file version
// from its fixed part.
struct VersionResource {
    std::string productName;
    std::string productVersion;
    std::string fileDescription;
    std::optional<std::array<std::uint16_t, 4>> fileVersion;
};

inline constexpr std::uint16_t kMachineI386 = 0x14C;
inline constexpr std::uint16_t kMachineAmd64 = 0x8664;
inline constexpr std::uint16_t kImageFileExecutableImage = 0x0002;
inline constexpr std::uint16_t kImageFileDll = 0x2000;
inline constexpr std::uint16_t kSubsystemWindowsGui = 2;
inline constexpr std::uint16_t kSubsystemWindowsConsole = 3;

struct PeInfo {
    PeVerdict verdict = PeVerdict::Empty;
    std::uint32_t peOffset = 0;  // e_lfanew, when there is an MZ header
    // The rest is set only for an executable (as far as its headers go).
    std::uint16_t machine = 0;          // COFF header Machine
    std::uint16_t characteristics = 0;  // COFF header Characteristics
    // The optional header's Subsystem, set only when the COFF header is whole and the
    // optional header is of a known form, as long as the COFF header says and long enough to
    // hold it: without it the headers are cut short and Windows starts nothing.
    std::optional<std::uint16_t> subsystem;
    // Where the optional header's CheckSum and data directory entry 4 lie (relative to the
    // region), when the optional header holds them: the two fields an Authenticode digest
    // leaves out.
    std::optional<std::uint64_t> checksumOffset;
    std::optional<std::uint64_t> certificateEntryOffset;
    // Set when directory entry 4 has a non-zero size; empty for an unsigned image.
    std::optional<CertificateTable> certificateTable;
    // Set when the image has an RT_VERSION resource that reads as one.
    std::optional<VersionResource> version;

    bool IsDll() const { return (characteristics & kImageFileDll) != 0; }
    bool IsExecutableImage() const { return (characteristics & kImageFileExecutableImage) != 0; }
};

// Reads the headers of the `length` bytes that start at `start` in `source`. The offsets in
// the result are relative to `start`. Never reads outside the region; bytes that cannot be
// read count as missing.
PeInfo ReadPeInfo(host::ByteSource& source, std::uint64_t start,
                  std::uint64_t length);

// A verdict in words, to follow "payload X is", e.g. "empty" or "a Windows executable".
const char* DescribeVerdict(PeVerdict verdict);

// A machine type for people: "x86 (0x014C)", "x64 (0x8664)", "ARM64 (0xAA64)", "0x1234".
std::string MachineName(std::uint16_t machine);

// "1.2.3.4" from a version resource's fixed file version.
std::string VersionText(const std::array<std::uint16_t, 4>& version);

}  // namespace wrapper::tools::package
