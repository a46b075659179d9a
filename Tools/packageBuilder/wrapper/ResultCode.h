#pragma once

#include <cstdint>

namespace wrapper {

// The launcher's process exit code, from ResultCodeList.inc (numbers, names, meanings).
// The numbers are frozen: package producers and support scripts read them. A function
// returning one is [[nodiscard]] by its type: a code dropped unread is a lost failure.
enum [[nodiscard]] ResultCode : std::uint32_t {
#define WRAPPER_RESULT_CODE(number, name, meaning) name = number,
#define WRAPPER_RESULT_ALIAS(name, code) name = code,
#include "ResultCodeList.inc"
};

// How many numbers there are: the last code's plus one.
inline constexpr std::uint32_t kResultCodeCount = 0
#define WRAPPER_RESULT_CODE(number, name, meaning) + 1
#define WRAPPER_RESULT_ALIAS(name, code)
#include "ResultCodeList.inc"
    ;

}  // namespace wrapper
