#pragma once

#include <cstdint>

namespace wrapper::tools::package {

// The launcher's result codes in words, for producers reading a tool's report. A code the
// launcher does not have gives the name "unknown" and the meaning "unknown result code".
const char* ResultCodeName(std::uint32_t code);     // e.g. "kSeekPayloadFailed"
const char* ResultCodeMeaning(std::uint32_t code);  // one sentence, no final period

}  // namespace wrapper::tools::package
