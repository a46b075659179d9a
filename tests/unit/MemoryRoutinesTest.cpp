#include "platform/win32/MemoryRoutines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

// The launcher's own byte routines against the host's C library, the model they stand in
// for: every source and destination offset and every length within a small buffer, so that
// overlaps in both directions, empty ranges and the ends of the buffer are all covered.
namespace wrapper::platform::win32 {
namespace {

constexpr std::size_t kSize = 24;
using Bytes = std::array<unsigned char, kSize>;

Bytes Pattern() {
    Bytes bytes{};
    // High bytes too: the comparisons must treat bytes as unsigned.
    for (std::size_t i = 0; i < kSize; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 200);
    return bytes;
}

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(MemoryRoutines, CopyAndMoveMatchTheCLibraryAtEveryOffsetAndLength) {
    for (std::size_t from = 0; from < kSize; ++from) {
        for (std::size_t to = 0; to < kSize; ++to) {
            for (std::size_t count = 0; count <= kSize - std::max(from, to); ++count) {
                SCOPED_TRACE("from " + std::to_string(from) + " to " + std::to_string(to) +
                             " count " + std::to_string(count));
                Bytes expected = Pattern();
                std::memmove(expected.data() + to, expected.data() + from, count);
                Bytes moved = Pattern();
                ASSERT_EQ(MoveBytes(moved.data() + to, moved.data() + from, count),
                          moved.data() + to);
                ASSERT_EQ(moved, expected);
                // Copies never overlap: from one buffer into another.
                const Bytes source = Pattern();
                Bytes copied{};
                Bytes copiedExpected{};
                std::memcpy(copiedExpected.data() + to, source.data() + from, count);
                ASSERT_EQ(CopyBytes(copied.data() + to, source.data() + from, count),
                          copied.data() + to);
                ASSERT_EQ(copied, copiedExpected);
            }
        }
    }
}

TEST(MemoryRoutines, FillCompareAndFindMatchTheCLibrary) {
    const Bytes pattern = Pattern();
    for (std::size_t at = 0; at < kSize; ++at) {
        for (std::size_t count = 0; count <= kSize - at; ++count) {
            SCOPED_TRACE("at " + std::to_string(at) + " count " + std::to_string(count));
            // The value is converted to unsigned char: 0x1AB fills with 0xAB.
            for (const int value : {0, 0xAB, 0x1AB, -1}) {
                Bytes expected = pattern;
                std::memset(expected.data() + at, value, count);
                Bytes filled = pattern;
                ASSERT_EQ(FillBytes(filled.data() + at, value, count), filled.data() + at);
                ASSERT_EQ(filled, expected);
            }
            // One byte changed up or down inside the range, or none.
            for (const int change : {0, 1, -1, 0x80}) {
                Bytes other = pattern;
                if (count > 0) other[at + count - 1] = static_cast<unsigned char>(other[at + count - 1] + change);
                ASSERT_EQ(Sign(CompareBytes(pattern.data() + at, other.data() + at, count)),
                          Sign(std::memcmp(pattern.data() + at, other.data() + at, count)));
                ASSERT_EQ(Sign(CompareBytes(other.data() + at, pattern.data() + at, count)),
                          Sign(std::memcmp(other.data() + at, pattern.data() + at, count)));
            }
            for (const int value : {static_cast<int>(pattern[kSize - 1]), pattern[at] - 256, 0x100}) {
                ASSERT_EQ(FindByte(pattern.data() + at, value, count),
                          std::memchr(pattern.data() + at, value, count));
            }
        }
    }
}

TEST(MemoryRoutines, TextLengthStopsAtTheFirstZero) {
    for (const char* text : {"", "a", "\xff\x80 text", "two\0parts"}) {
        EXPECT_EQ(TextLength(text), std::strlen(text)) << text;
    }
}

}  // namespace
}  // namespace wrapper::platform::win32
