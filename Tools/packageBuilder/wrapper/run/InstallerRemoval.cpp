#include "run/InstallerRemoval.h"

namespace wrapper::run {

Removal RemoveExtractedInstaller(platform::Files& files, platform::Clock& clock,
                                 const char16_t* path, const platform::FileIdentity& written) {
    platform::UniqueFile installer;
    for (std::uint32_t attempt = 0;; ++attempt) {
        if (!installer) {
            installer = platform::UniqueFile(files, files.OpenForDeleting(path));
            platform::FileIdentity opened;
            if (installer && (!files.GetIdentity(installer.Get(), &opened) || opened != written)) {
                return Removal::NotOurs;
            }
        }
        // The file goes as the handle closes, on the way out.
        if (installer && files.DeleteOpened(installer.Get())) return Removal::Deleted;
        if (attempt == sizeof kDeletePausesMs / sizeof kDeletePausesMs[0]) return Removal::Left;
        clock.Pause(kDeletePausesMs[attempt]);
    }
}

}  // namespace wrapper::run
