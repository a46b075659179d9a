#include "run/InstallerRunner.h"

#include "WideText.h"
#include "package/PayloadExtractor.h"

#include <cstdint>

namespace wrapper::run {

bool RunInstaller(platform::Processes& processes, const char16_t* installerPath) {
    if (installerPath[0] == u'\0') return false;

    // The path (at most 511 units) in quotes; writable because process creation may modify it.
    char16_t commandLine[package::kPathCapacity + 2] = {};
    std::uint32_t length = 0;
    if (!AppendWide(commandLine, sizeof commandLine / sizeof commandLine[0], length, u"\"") ||
        !AppendWide(commandLine, sizeof commandLine / sizeof commandLine[0], length, installerPath) ||
        !AppendWide(commandLine, sizeof commandLine / sizeof commandLine[0], length, u"\"")) {
        return false;
    }

    platform::ProcessHandle handle{};
    if (!processes.Start(installerPath, commandLine, &handle)) return false;
    const platform::UniqueProcess process(processes, handle);

    // A failed wait needs no check of its own: a process that has not ended reads back a
    // non-zero exit code.
    processes.WaitForExit(process.Get());
    std::uint32_t exitCode = 0;
    if (!processes.GetExitCode(process.Get(), &exitCode)) return false;
    return exitCode == 0;
}

}  // namespace wrapper::run
