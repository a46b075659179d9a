#pragma once

#include <cstddef>

namespace wrapper::platform::win32 {

// The byte and text routines a compiler may call on its own (for copies, moves, zero-fills
// and comparisons of arrays and records, and for loops it recognises as a search or a
// length), with the C library's contracts. The launcher has no C runtime, so its start-up
// file provides memcpy, memmove, memset, memcmp, memchr and strlen through these. Byte at a
// time: the launcher only ever handles small records this way; the payload goes straight
// from the own file into the copy buffer and out of it.

// Copies `count` bytes; the ranges must not overlap. Returns `to`.
inline void* CopyBytes(void* to, const void* from, std::size_t count) {
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    for (std::size_t i = 0; i < count; ++i) out[i] = in[i];
    return to;
}

// Copies `count` bytes as if through a temporary: the ranges may overlap. Returns `to`.
inline void* MoveBytes(void* to, const void* from, std::size_t count) {
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    if (out < in) {
        for (std::size_t i = 0; i < count; ++i) out[i] = in[i];
    } else if (out > in) {
        // The destination starts inside or after the source: from the last byte down, so
        // no byte is overwritten before it has been copied.
        for (std::size_t i = count; i > 0; --i) out[i - 1] = in[i - 1];
    }
    return to;
}

// Sets `count` bytes to `value` converted to unsigned char. Returns `to`.
inline void* FillBytes(void* to, int value, std::size_t count) {
    auto* out = static_cast<unsigned char*>(to);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(value);
    return to;
}

// Compares `count` bytes as unsigned char: negative, zero or positive as the first
// differing byte of `a` is below, equal to or above that of `b`.
inline int CompareBytes(const void* a, const void* b, std::size_t count) {
    const auto* left = static_cast<const unsigned char*>(a);
    const auto* right = static_cast<const unsigned char*>(b);
    for (std::size_t i = 0; i < count; ++i) {
        if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}

// The first of `count` bytes equal to `value` converted to unsigned char, or null.
inline void* FindByte(const void* from, int value, std::size_t count) {
    const auto* in = static_cast<const unsigned char*>(from);
    for (std::size_t i = 0; i < count; ++i) {
        if (in[i] == static_cast<unsigned char>(value)) return const_cast<unsigned char*>(in + i);
    }
    return nullptr;
}

// The number of bytes before the terminating zero.
inline std::size_t TextLength(const char* text) {
    std::size_t length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

}  // namespace wrapper::platform::win32
