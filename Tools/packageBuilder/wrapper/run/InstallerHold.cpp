#include "run/InstallerHold.h"

namespace wrapper::run {

platform::FileHandle HoldExtractedInstaller(platform::Files& files, const char16_t* path,
                                            const platform::FileIdentity& written) {
    const platform::FileHandle held = files.OpenAndHold(path);
    platform::FileIdentity opened;
    if (held && (!files.GetIdentity(held, &opened) || opened != written)) {
        files.Close(held);
        return {};
    }
    return held;
}

}  // namespace wrapper::run
