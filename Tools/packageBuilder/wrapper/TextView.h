#pragma once

#include <cstdint>

namespace wrapper {

// A view of 8-bit text: `length` bytes at `data`, not necessarily zero-terminated. It
// owns nothing and is valid as long as the text it points into.
struct TextView {
    const char* data;
    std::uint32_t length;  // bytes
};

}  // namespace wrapper
