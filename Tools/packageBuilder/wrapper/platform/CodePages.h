#pragma once

#include <cstdint>

namespace wrapper::platform {

// Conversion from the machine's ANSI code page to UTF-16, with the system's semantics: the
// input length is given explicitly (no terminator is read or written); with an output
// capacity of 0 the call returns the length the output needs; otherwise it returns the
// units written, or 0 when the output does not fit or the input is rejected.
class CodePages {
public:
    virtual std::uint32_t AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                                     std::uint32_t capacity) = 0;

protected:
    ~CodePages() = default;
};

}  // namespace wrapper::platform
