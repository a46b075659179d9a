#pragma once

#include "platform/Clock.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::run {

// How the extracted installer left the temporary folder.
enum class Removal : std::uint32_t {
    Deleted,           // deleted now, at the first attempt or a retry
    AlreadyGone,       // somebody else removed it first
    DeletedAtRestart,  // still in use after every retry; the system deletes it at restart
    Left,              // still in use, and the system refused the restart request too
};

// Attempts to delete a file, in milliseconds between them: a virus scanner that opened the
// new executable usually lets go within a second or two, and the user is waiting.
// Attempts = pauses + 1; the pauses add up to 1,550 ms.
inline constexpr std::uint32_t kDeletePausesMs[] = {50, 100, 200, 400, 800};

// Removes the installer this run extracted to `path`. Deletes it, and while the system
// reports it still in use, pauses and tries again; after the last attempt asks the system
// to delete it at the next restart. Only ever called for a file this run created, so a
// name that nobody holds any more is taken as done, never retried.
Removal RemoveExtractedInstaller(platform::Files& files, platform::Clock& clock,
                                 const char16_t* path);

}  // namespace wrapper::run
