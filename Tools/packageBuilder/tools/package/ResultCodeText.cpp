#include "tools/package/ResultCodeText.h"

#include "ResultCode.h"

#include <iterator>

namespace wrapper::tools::package {

namespace {

struct CodeText {
    std::uint32_t number;
    const char* name;
    const char* meaning;
};

constexpr CodeText kCodes[] = {
#define WRAPPER_RESULT_CODE(number, name, meaning) {number, #name, meaning},
#define WRAPPER_RESULT_ALIAS(name, code)
#include "ResultCodeList.inc"
};
static_assert(std::size(kCodes) == wrapper::kResultCodeCount);

// Row i is code i: the list's numbers run from 0 without a gap or a repeat.
constexpr bool NumbersAreRowIndices() {
    for (std::uint32_t i = 0; i < std::size(kCodes); ++i) {
        if (kCodes[i].number != i) return false;
    }
    return true;
}
static_assert(NumbersAreRowIndices());

}  // namespace

const char* ResultCodeName(std::uint32_t code) {
    return code < std::size(kCodes) ? kCodes[code].name : "unknown";
}

const char* ResultCodeMeaning(std::uint32_t code) {
    return code < std::size(kCodes) ? kCodes[code].meaning : "unknown result code";
}

}  // namespace wrapper::tools::package
