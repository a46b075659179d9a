#include "platform/win32/MemoryRoutines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

// The launcher's own byte routines against the host's C library, the model they stand in
// for, at every offset and length within a small buffer: overlaps in both directions,
// empty ranges and both ends. High bytes too, which must compare as unsigned.
namespace wrapper::platform::win32 {
namespace {

constexpr std::size_t kSize = 24;
using Bytes = std::array<unsigned char, kSize>;

Bytes Pattern() {
    Bytes bytes{};
    for (std::size_t i = 0; i < kSize; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 200);
    return bytes;
}

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(MemoryRoutines, MatchTheCLibraryAtEveryOffsetAndLength) {
    const Bytes pattern = Pattern();
    for (std::size_t from = 0; from < kSize; ++from) {
        for (std::size_t to = 0; to < kSize; ++to) {
            for (std::size_t count = 0; count <= kSize - std::max(from, to); ++count) {
                SCOPED_TRACE("from " + std::to_string(from) + " to " + std::to_string(to) +
                             " count " + std::to_string(count));
                Bytes expected = pattern, actual = pattern;
                std::memmove(expected.data() + to, expected.data() + from, count);
                ASSERT_EQ(MoveBytes(actual.data() + to, actual.data() + from, count),
                          actual.data() + to);
                ASSERT_EQ(actual, expected);
                // Copies never overlap: into a buffer of their own.
                Bytes copied{}, copiedExpected{};
                std::memcpy(copiedExpected.data() + to, pattern.data() + from, count);
                CopyBytes(copied.data() + to, pattern.data() + from, count);
                ASSERT_EQ(copied, copiedExpected);

                // One byte changed, inside the range or not; values beyond a byte (0x1AB,
                // a pattern byte + 0x100) count as their low byte.
                Bytes other = pattern;
                other[to] = static_cast<unsigned char>(other[to] + 0x80);
                ASSERT_EQ(Sign(CompareBytes(pattern.data() + from, other.data() + from, count)),
                          Sign(std::memcmp(pattern.data() + from, other.data() + from, count)));
                ASSERT_EQ(FindByte(pattern.data() + from, pattern[to] + 0x100, count),
                          std::memchr(pattern.data() + from, pattern[to] + 0x100, count));
                expected = pattern, actual = pattern;
                std::memset(expected.data() + from, 0x1AB, count);
                FillBytes(actual.data() + from, 0x1AB, count);
                ASSERT_EQ(actual, expected);
            }
        }
    }
    EXPECT_EQ(TextLength("\xff text\0more"), std::strlen("\xff text\0more"));
}

}  // namespace
}  // namespace wrapper::platform::win32
