#pragma once

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

protected:
    ~Processes() = default;
};

// Owns a process handle and closes it exactly once. Move-only.
class UniqueProcess {
public:
    UniqueProcess(Processes& processes, ProcessHandle handle)
        : processes_(&processes), handle_(handle) {}
    UniqueProcess(const UniqueProcess&) = delete;
    UniqueProcess& operator=(const UniqueProcess&) = delete;
    UniqueProcess(UniqueProcess&& other) noexcept
        : processes_(other.processes_), handle_(other.handle_) {
        other.handle_ = {};
    }
    UniqueProcess& operator=(UniqueProcess&&) = delete;
    ~UniqueProcess() {
        if (handle_) processes_->Close(handle_);
    }

    ProcessHandle Get() const { return handle_; }

private:
    Processes* processes_;
    ProcessHandle handle_;
};

}  // namespace wrapper::platform
