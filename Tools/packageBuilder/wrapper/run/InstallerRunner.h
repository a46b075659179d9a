#pragma once

#include "platform/Processes.h"

namespace wrapper::run {

// Starts the extracted installer at `installerPath` and waits for it to end, without a
// time-out. The path is passed as the program to start and, in double quotes and alone,
// as its command line, so no program at a prefix of a path with spaces can run instead
// and the launcher's own arguments are never passed on. Returns true only when the
// installer was started and its exit code reads back as 0; an empty path, a failed start
// or a failed exit-code query return false.
bool RunInstaller(platform::Processes& processes, const char16_t* installerPath);

}  // namespace wrapper::run
