#pragma once

#include "FakeFiles.h"
#include "RunSequence.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace wrapper::fake {

// How a started process was started, and what its program file held at that moment.
struct StartedProcess {
    std::u16string applicationName;
    std::u16string commandLine;
    std::vector<std::uint8_t> image;  // empty when no file was at applicationName
};

// Starts "programs" by calling a test's handler, which returns the exit code. The program
// runs while the handler does: its file is in use meanwhile. Like the system, a file that
// someone has open for writing, or without read sharing, cannot be started.
class FakeProcesses final : public platform::Processes {
public:
    FakeProcesses(CallLog& log, FakeFiles& files) : log_(log), files_(files) {}

    std::function<std::uint32_t(const StartedProcess&)> onStart = [](const StartedProcess&) {
        return 0u;
    };
    std::vector<StartedProcess> started;
    std::uint32_t OpenHandles() const { return static_cast<std::uint32_t>(exitCodes_.size()); }

    bool Start(const char16_t* applicationName, char16_t* commandLine,
               platform::ProcessHandle* process) override;
    bool WaitForExit(platform::ProcessHandle process) override;
    bool GetExitCode(platform::ProcessHandle process, std::uint32_t* exitCode) override;
    void Close(platform::ProcessHandle process) override;

private:
    CallLog& log_;
    FakeFiles& files_;
    std::map<std::uintptr_t, std::uint32_t> exitCodes_;
    std::uintptr_t nextHandle_ = 0x5000;
};

// A clock that stands still unless a test moves it; pauses are recorded, not waited.
class FakeClock final : public platform::Clock {
public:
    explicit FakeClock(CallLog& log) : log_(log) {}
    std::uint64_t seconds = 1'700'000'000;
    std::vector<std::uint32_t> pauses;  // milliseconds, in order
    std::function<void()> onPause = [] {};  // what happens meanwhile
    std::uint64_t SecondsSince1970() override { return seconds; }
    void Pause(std::uint32_t milliseconds) override {
        log_.Record(Call::Pause);
        pauses.push_back(milliseconds);
        onPause();
    }

private:
    CallLog& log_;
};

// The registry under HKEY_LOCAL_MACHINE: sub-key -> value name -> raw bytes.
class FakeRegistry final : public platform::Registry {
public:
    explicit FakeRegistry(CallLog& log) : log_(log) {}

    void SetString(const std::u16string& subKey, const std::u16string& name,
                   const std::u16string& value, bool terminated = true);
    std::uint32_t OpenKeys() const { return static_cast<std::uint32_t>(open_.size()); }

    bool OpenLocalMachineKey(const char16_t* subKey, platform::KeyHandle* key) override;
    bool QueryValue(platform::KeyHandle key, const char16_t* name, void* data,
                    std::uint32_t* sizeInBytes) override;
    void CloseKey(platform::KeyHandle key) override;

private:
    CallLog& log_;
    std::map<std::u16string, std::map<std::u16string, std::vector<std::uint8_t>>> keys_;
    std::map<std::uintptr_t, std::u16string> open_;
    std::uintptr_t nextHandle_ = 0x9000;
};

// The machine's ANSI code page. Windows-1252 by default, as the system converts it: bytes
// 0x80-0x9F are its characters (the euro sign, typographic quotes, ...) and the five it
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 controls of the same
// value, so every byte converts to UTF-16 and back unchanged. A character it cannot spell
// becomes its best fit where the system has one (Latin letters with marks lose the mark,
// full-width ASCII becomes ASCII: U+0100 is "A", U+FF3C is "\"), else "?". With `utf8`
// set, the machine uses UTF-8 as its ANSI code page: a unit takes one to three bytes
// (surrogates are encoded one by one, three bytes each), and bytes that do not decode
// become U+FFFD one by one.
class FakeCodePages final : public platform::CodePages {
public:
    bool utf8 = false;

    std::uint32_t AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                             std::uint32_t capacity) override;

    // Whole strings: Widen as AnsiToWide converts; Narrow as the system converts UTF-16 to
    // the code page, which the fake's own profile files use.
    std::string Narrow(const std::u16string& text);
    std::u16string Widen(const std::string& text);
};

// Private-profile files stored as text in the fake file system, under their UTF-16 paths.
// Sections and keys compare without regard to case (FoldCase); a value read loses one pair
// of matching quotes around it; a write creates the file and the
// section when missing and replaces only the named key. The files are not Unicode: a value
// goes through the code page into UTF-16 on its way in and back into the file's bytes, and
// the other way when it is read, as the platform and the system's wide functions do.
class FakeProfileFiles final : public platform::ProfileFiles {
public:
    FakeProfileFiles(CallLog& log, FakeFiles& files, FakeCodePages& codePages)
        : log_(log), files_(files), codePages_(codePages) {}

    bool WriteString(const char16_t* section, const char16_t* key, const char* value,
                     const char16_t* path) override;
    std::uint32_t ReadString(const char16_t* section, const char16_t* key, char* buffer,
                             std::uint32_t size, const char16_t* path) override;

private:
    CallLog& log_;
    FakeFiles& files_;
    FakeCodePages& codePages_;
};

// The desktop shell and the launcher's own route to the default handler. COM must be
// initialised for the desktop shell's route, and with `desktopShell` unset there is none
// (a service running as SYSTEM, a server without one): the route then fails.
class FakeShell final : public platform::Shell {
public:
    enum class Route { DesktopShell, Launcher };

    explicit FakeShell(CallLog& log) : log_(log) {}
    bool desktopShell = true;
    std::vector<std::u16string> opened;  // every URL opened, by either route
    std::vector<Route> routes;           // the route of each
    std::uint32_t comDepth = 0;          // BeginCom calls not ended yet

    bool BeginCom() override;
    void EndCom() override;
    bool OpenUrlAsDesktopUser(const char16_t* url) override;
    void OpenUrl(const char16_t* url) override;

private:
    CallLog& log_;
};

// One machine: all fakes over one call log and one file system.
struct FakePlatform {
    CallLog log;
    FakeFiles files{log};
    FakeProcesses processes{log, files};
    FakeClock clock{log};
    FakeRegistry registry{log};
    FakeCodePages codePages;
    FakeProfileFiles profiles{log, files, codePages};
    FakeShell shell{log};

    LauncherServices Services() {
        return {files, processes, clock, registry, profiles, shell, codePages};
    }
};

}  // namespace wrapper::fake
