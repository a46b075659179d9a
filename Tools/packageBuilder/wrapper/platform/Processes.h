#pragma once

#include "platform/Files.h"
#include "platform/UniqueHandle.h"

#include <cstdint>

namespace wrapper::platform {

// A started process. 0 means "no process".
struct ProcessHandle {
    std::uintptr_t value = 0;
    explicit operator bool() const { return value != 0; }
};

// Starting a program and waiting for it, with the system's semantics.
class Processes {
public:
    // Starts `applicationName` with the writable `commandLine` (the system may modify it),
    // handles not inherited, no creation flags, the launcher's environment and current
    // directory, shown normally. The new process's thread handle is not kept.
    virtual bool Start(const char16_t* applicationName, char16_t* commandLine,
                       ProcessHandle* process) = 0;

    // Blocks until the process has ended; no time-out.
    virtual bool WaitForExit(ProcessHandle process) = 0;

    virtual bool GetExitCode(ProcessHandle process, std::uint32_t* exitCode) = 0;

    virtual void Close(ProcessHandle process) = 0;

    // Whether `file` is the very file this process was started from, not merely one that
    // now has its name or holds the same bytes (a running program's file can be renamed and
    // another put in its place). False when it is another file or the system cannot tell.
    virtual bool IsOwnImage(FileHandle file) = 0;

    // Whether this process runs with administrator rights in force (an elevated token);
    // true also when the system cannot tell.
    virtual bool RunsElevated() = 0;

protected:
    ~Processes() = default;
};

struct ProcessTraits {
    using Owner = Processes;
    using Handle = ProcessHandle;
    static void Close(Processes& processes, ProcessHandle process) { processes.Close(process); }
};
// Owns a process handle and closes it exactly once.
using UniqueProcess = UniqueHandle<ProcessTraits>;

}  // namespace wrapper::platform
