#pragma once

#include <string>

namespace wrapper::bench {

// UTF-8 (as the command line gives it) to UTF-16, for ASCII and Latin paths alike.
std::u16string ToUtf16(const std::string& text);

}  // namespace wrapper::bench
