#include "HostFiles.h"

#ifdef _WIN32
#include "platform/win32/Win32Platform.h"
#else
#include "platform/posix/PosixFiles.h"
#endif

namespace packagebuilder {

wrapper::platform::Files& HostFiles() {
#ifdef _WIN32
    static wrapper::platform::win32::Win32Platform files;
#else
    static wrapper::platform::posix::PosixFiles files;
#endif
    return files;
}

std::u16string FilesPath(const std::filesystem::path& path) {
    return path.u16string();
}

}  // namespace packagebuilder
