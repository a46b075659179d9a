#pragma once

#include "platform/Clock.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/ProfileFiles.h"
#include "platform/Registry.h"
#include "platform/Shell.h"

struct HINSTANCE__;

namespace wrapper::platform::win32 {

// Makes the system load libraries for this process from the system folder only. The
// launcher runs elevated from wherever the package was saved, typically a downloads
// folder where anyone can plant a library under a system library's name; without this,
// a library the system loads on demand (for the shell, say) would be looked up there
// first. Libraries the image imports are resolved before any code runs: the image imports
// kernel32 alone, which the loader never looks up beside the image. Call it first.
void RestrictLibrarySearchToSystem();

// The system services over the Win32 API, each the system's call (or the few calls it
// takes) with no rule of its own added: the logic above relies on exactly the system's
// semantics. UTF-16 text is passed through as the
// system's wide strings (both are 16-bit units on Windows). Until the installer has been
// started only kernel32 is used; the registry's, the shell's and COM's libraries are loaded
// by the first call that needs them, from the system folder only. A library or function
// that cannot be had makes that call fail (OpenLocalMachineKey, QueryValue, BeginCom,
// OpenUrlAsDesktopUser) or do nothing (CloseKey, EndCom, OpenUrl).
class Win32Platform final : public Files,
                            public Processes,
                            public Clock,
                            public Registry,
                            public ProfileFiles,
                            public Shell,
                            public CodePages {
public:
    // Files
    std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) override;
    std::uint32_t GetTempDirectory(char16_t* buffer, std::uint32_t capacity) override;
    FileHandle OpenForReading(const char16_t* path) override;
    FileHandle CreateNew(const char16_t* path) override;
    FileHandle OpenAndHold(const char16_t* path) override;
    bool GetIdentity(FileHandle file, FileIdentity* identity) override;
    bool Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
              std::int64_t* newPosition) override;
    bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) override;
    bool Write(FileHandle file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) override;
    void Close(FileHandle file) override;
    DeleteOutcome Delete(const char16_t* path) override;
    bool DeleteAtRestart(const char16_t* path) override;

    // Processes
    bool Start(const char16_t* applicationName, char16_t* commandLine,
               ProcessHandle* process) override;
    bool WaitForExit(ProcessHandle process) override;
    bool GetExitCode(ProcessHandle process, std::uint32_t* exitCode) override;
    void Close(ProcessHandle process) override;

    // Clock
    std::uint64_t SecondsSince1970() override;
    void Pause(std::uint32_t milliseconds) override;

    // Registry: advapi32, loaded on the first OpenLocalMachineKey.
    bool OpenLocalMachineKey(const char16_t* subKey, KeyHandle* key) override;
    bool QueryValue(KeyHandle key, const char16_t* name, void* data,
                    std::uint32_t* sizeInBytes) override;
    void CloseKey(KeyHandle key) override;

    // ProfileFiles
    bool WriteString(const char16_t* section, const char16_t* key, const char* value,
                     const char16_t* path) override;
    std::uint32_t ReadString(const char16_t* section, const char16_t* key, char* buffer,
                             std::uint32_t size, const char16_t* path) override;

    // Shell: ole32 is loaded on the first BeginCom, oleaut32 on the first
    // OpenUrlAsDesktopUser, shell32 on the first OpenUrl.
    bool BeginCom() override;
    void EndCom() override;
    bool OpenUrlAsDesktopUser(const char16_t* url) override;
    void OpenUrl(const char16_t* url) override;

    // CodePages
    std::uint32_t AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                             std::uint32_t capacity) override;

private:
    // The libraries' modules (HMODULEs), once loaded.
    HINSTANCE__* advapi32_ = nullptr;
    HINSTANCE__* ole32_ = nullptr;
    HINSTANCE__* oleaut32_ = nullptr;
    HINSTANCE__* shell32_ = nullptr;
};

}  // namespace wrapper::platform::win32
