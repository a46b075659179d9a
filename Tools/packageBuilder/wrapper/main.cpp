// The launcher's entry point: the Windows GUI entry, reached through the launcher's own
// start-up routine (platform/win32/StartUp.cpp). No window, no arguments read; the run's
// result is the exit code.

#include "RunSequence.h"
#include "platform/win32/Win32Platform.h"

extern "C" int __stdcall wWinMain(void* /*instance*/, void* /*previousInstance*/,
                                  wchar_t* /*commandLine*/, int /*showCommand*/) {
    wrapper::platform::win32::RestrictLibrarySearchToSystem();
    wrapper::platform::win32::Win32Platform platform;
    const wrapper::LauncherServices services{platform, platform, platform, platform,
                                             platform, platform, platform};
    return static_cast<int>(wrapper::RunPackage(services));
}
