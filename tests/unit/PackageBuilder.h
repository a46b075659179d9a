#pragma once

// Builds package images in memory for the unit tests.

#include "package/PackageTrailer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wrapper::testing {

struct PackageParts {
    std::vector<std::uint8_t> launcher = std::vector<std::uint8_t>(4096, 0x4d);
    std::vector<std::uint8_t> payload = {'M', 'Z', 1, 2, 3};
    std::string fields[package::kFieldCount] = {"https://link/%1/x?", "k=v", "https://land%1/p?",
                                                "https://un%1/u?"};
    std::optional<std::uint64_t> payloadSize;  // the real size when not set
    std::vector<std::uint8_t> after;           // bytes after the trailer (a signature)
};

inline std::vector<std::uint8_t> Marker() {
    unsigned char marker[package::kMarkerSize];
    package::BuildTrailerMarker(marker);
    return {marker, marker + package::kMarkerSize};
}

inline std::vector<std::uint8_t> BuildPackage(const PackageParts& parts) {
    std::vector<std::uint8_t> bytes = parts.launcher;
    bytes.insert(bytes.end(), parts.payload.begin(), parts.payload.end());
    package::TrailerFields fields = {};
    for (std::uint32_t i = 0; i < package::kFieldCount; ++i) {
        // Copies at most the whole field, so a 260-byte text leaves no terminator.
        const std::size_t n = std::min<std::size_t>(parts.fields[i].size(), package::kFieldSize);
        std::copy_n(parts.fields[i].begin(), n, fields.bytes[i]);
    }
    unsigned char trailer[package::kTrailerSize];
    package::EncodeTrailer(parts.payloadSize.value_or(parts.payload.size()), fields, trailer);
    bytes.insert(bytes.end(), trailer, trailer + package::kTrailerSize);
    bytes.insert(bytes.end(), parts.after.begin(), parts.after.end());
    return bytes;
}

}  // namespace wrapper::testing
