#pragma once

#include "platform/Clock.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::run {

// How the extracted installer left the temporary folder.
enum class Removal : std::uint32_t {
    Deleted,  // deleted, at the first attempt or a retry
    NotOurs,  // the name leads to another file now (or one that cannot be told): left alone
    Left,     // still in use, or not to be opened, after every retry: it stays
};

// Attempts to delete a file, in milliseconds between them: the installer's process may keep
// its image mapped for a moment after its exit code is known, and a virus scanner that
// opened the new executable usually lets go within a second or two; the user is waiting.
// Attempts = pauses + 1; the pauses add up to 1,550 ms.
inline constexpr std::uint32_t kDeletePausesMs[] = {50, 100, 200, 400, 800};

// Deletes the installer this run extracted to `path`, once the caller has let go of it. The
// name is opened for deleting once, and the file deleted through that handle only if it is
// still the file written (`written`, the identity taken from the handle that created it):
// the user owns the temporary folder, and a junction or link put there meanwhile could make
// the name lead to any file, which is then left alone. While the open or the delete is
// refused (the installer's image still mapped, a scanner holding the file), pauses and tries
// again. There is no delete at the next restart: the system would do that by name.
Removal RemoveExtractedInstaller(platform::Files& files, platform::Clock& clock,
                                 const char16_t* path, const platform::FileIdentity& written);

}  // namespace wrapper::run
