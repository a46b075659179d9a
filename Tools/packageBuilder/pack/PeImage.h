#pragma once

// The little the tools need from a Windows executable's headers: whether a run of bytes is
// one at all, and where its certificate table (the code signature) lies.

#include <cstdint>
#include <istream>
#include <optional>

namespace packagebuilder {

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

struct PeInfo {
    PeVerdict verdict = PeVerdict::Empty;
    std::uint32_t peOffset = 0;  // e_lfanew, when there is an MZ header
    // Set when the image is an executable whose optional header has a directory entry 4
    // with a non-zero size; empty for an unsigned image.
    std::optional<CertificateTable> certificateTable;
};

// Reads the headers of the `length` bytes that start at `start` in `in`. The offsets in the
// result are relative to `start`. Never reads outside the region; a stream that fails to
// deliver reads as a region that ends there.
PeInfo ReadPeInfo(std::istream& in, std::uint64_t start, std::uint64_t length);

// A verdict in words, to follow "payload X is", e.g. "empty" or "a Windows executable".
const char* DescribeVerdict(PeVerdict verdict);

}  // namespace packagebuilder
