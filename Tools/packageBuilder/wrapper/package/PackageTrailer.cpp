#include "package/PackageTrailer.h"

#include <cstring>

namespace wrapper::package {

namespace {

// The compiled-in template. The marker differs from it in four places; keeping only the
// template in the image is what guarantees the launcher never finds a marker in itself.
constexpr char kMarkerTemplate[] = "D28EB613F95C4abeB74D1E30C862A9F5";
static_assert(sizeof(kMarkerTemplate) == kMarkerSize + 1);

struct MarkerEdit {
    std::uint8_t position;
    char value;
};
constexpr MarkerEdit kMarkerEdits[] = {{0, 'E'}, {3, 'M'}, {27, '7'}, {31, '2'}};

}  // namespace

TextView FieldText(const TrailerFields& fields, Field field) {
    const char* text = fields.bytes[static_cast<std::uint32_t>(field)];
    const void* zero = std::memchr(text, 0, kFieldSize);
    const auto length = zero ? static_cast<std::uint32_t>(static_cast<const char*>(zero) - text)
                             : kFieldSize;
    return {text, length};
}

void BuildTrailerMarker(unsigned char (&marker)[kMarkerSize]) {
    std::memcpy(marker, kMarkerTemplate, kMarkerSize);
    // The compiler must not see the template's bytes here, or it could fold the edits
    // into a ready-made marker constant in the image.
    asm volatile("" : : "r"(marker) : "memory");
    for (const MarkerEdit& edit : kMarkerEdits) {
        marker[edit.position] = static_cast<unsigned char>(edit.value);
    }
}

void EncodeTrailer(std::uint64_t payloadSize, const TrailerFields& fields,
                   unsigned char (&trailer)[kTrailerSize]) {
    for (std::uint32_t i = 0; i < kPayloadSizeLength; ++i) {
        trailer[i] = static_cast<unsigned char>(payloadSize >> (8 * i));
    }
    std::memcpy(trailer + kFieldsOffset, fields.bytes, kFieldsSize);
    unsigned char marker[kMarkerSize];
    BuildTrailerMarker(marker);
    std::memcpy(trailer + kMarkerOffset, marker, kMarkerSize);
}

}  // namespace wrapper::package
