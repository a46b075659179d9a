#pragma once

// The launcher's file services on the machine a tool runs on: the launcher's own Windows
// implementation on Windows, the POSIX one elsewhere. Tools read packages through these so
// that they find and read a trailer exactly as the launcher does.

#include "platform/Files.h"

#include <filesystem>
#include <string>

namespace packagebuilder {

// One instance for the whole process; it holds no state of its own.
wrapper::platform::Files& HostFiles();

// A path as the file services take it: zero-terminated UTF-16.
std::u16string FilesPath(const std::filesystem::path& path);

}  // namespace packagebuilder
