#include "run/InstallerRemoval.h"

namespace wrapper::run {

Removal RemoveExtractedInstaller(platform::Files& files, platform::Clock& clock,
                                 const char16_t* path) {
    using platform::DeleteOutcome;
    for (std::uint32_t attempt = 0;; ++attempt) {
        switch (files.Delete(path)) {
            case DeleteOutcome::Deleted: return Removal::Deleted;
            case DeleteOutcome::NotFound: return Removal::AlreadyGone;
            case DeleteOutcome::Failed: break;
        }
        if (attempt == sizeof kDeletePausesMs / sizeof kDeletePausesMs[0]) break;
        clock.Pause(kDeletePausesMs[attempt]);
    }
    return files.DeleteAtRestart(path) ? Removal::DeletedAtRestart : Removal::Left;
}

}  // namespace wrapper::run
