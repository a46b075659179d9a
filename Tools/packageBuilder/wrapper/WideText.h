#pragma once

#include <cstdint>

namespace wrapper {

// Small helpers over zero-terminated UTF-16 text in fixed buffers. Lengths are in UTF-16
// units, without the terminator.

inline std::uint32_t WideLength(const char16_t* text) {
    std::uint32_t length = 0;
    while (text[length] != u'\0') ++length;
    return length;
}

// Appends `text` at `length` within a buffer of `capacity` units and keeps it terminated.
// Returns false, leaving the buffer unchanged, when the result would not fit.
inline bool AppendWide(char16_t* buffer, std::uint32_t capacity, std::uint32_t& length,
                       const char16_t* text) {
    if (length >= capacity) return false;
    const std::uint32_t extra = WideLength(text);
    if (extra >= capacity - length) return false;
    for (std::uint32_t i = 0; i < extra; ++i) buffer[length + i] = text[i];
    length += extra;
    buffer[length] = u'\0';
    return true;
}

}  // namespace wrapper
