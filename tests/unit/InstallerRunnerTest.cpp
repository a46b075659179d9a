#include "FakePlatform.h"
#include "run/InstallerRunner.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace wrapper {
namespace {

using fake::Call;

constexpr char16_t kInstaller[] = u"C:\\Users\\user\\AppData\\Local\\Temp\\\\Zorvik38.exe";

std::string Narrow(const std::u16string& text) { return {text.begin(), text.end()}; }

// A machine on which `path` holds a program that exits with `exitCode`.
struct Machine {
    fake::FakePlatform platform;
    explicit Machine(const std::u16string& path, std::uint32_t exitCode = 0) {
        platform.files.AddFile(path, {'M', 'Z'});
        platform.processes.onStart = [exitCode](const fake::StartedProcess&) { return exitCode; };
    }
    bool Run(const char16_t* path) { return run::RunInstaller(platform.processes, path); }
    std::uint32_t Count(Call call) const { return platform.log.Count(call); }
};

TEST(InstallerRunner, OnlyExitCodeZeroCountsAsInstalled) {
    struct Row {
        std::uint32_t exitCode;
        bool installed;
    };
    const Row rows[] = {
        {0, true},        {1, false},          {2, false},          {259, false},  // still active
        {1602, false},    {3010, false},       {0x80000000u, false}, {0xC0000005u, false},
        {0xFFFFFFFFu, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.exitCode);
        Machine machine(kInstaller, row.exitCode);
        EXPECT_EQ(machine.Run(kInstaller), row.installed);
        EXPECT_EQ(machine.Count(Call::StartProcess), 1u);
        EXPECT_EQ(machine.Count(Call::WaitForExit), 1u);
        EXPECT_EQ(machine.platform.processes.OpenHandles(), 0u);
    }
}

TEST(InstallerRunner, EmptyPathStartsNothing) {
    Machine machine(kInstaller);
    EXPECT_FALSE(machine.Run(u""));
    EXPECT_EQ(machine.Count(Call::StartProcess), 0u);
}

// The path is the program to start, and in quotes the whole command line: spaces in it
// can never make the system try a shorter path, and nothing else is passed on.
TEST(InstallerRunner, CommandLineIsThePathInQuotesAlone) {
    const std::u16string longest = u"C:\\" + std::u16string(495, u'x') + u"\\\\Zorvik1.exe";
    ASSERT_EQ(longest.size(), 511u);
    const std::u16string paths[] = {
        kInstaller,
        u"C:\\Documents and Settings\\A User\\Local Settings\\Temp\\\\Zorvik123.exe",
        u"C:\\Program Files\\My Temp\\\\Zorvik0.exe",
        u"D:\\ leading and trailing \\\\Zorvik32767.exe",
        u"C:\\T\u00e9mp \u4e2d\u6587\\\\Zorvik41.exe",
        longest,
    };
    for (const std::u16string& path : paths) {
        SCOPED_TRACE(Narrow(path));
        Machine machine(path);
        EXPECT_TRUE(machine.Run(path.c_str()));
        ASSERT_EQ(machine.platform.processes.started.size(), 1u);
        const fake::StartedProcess& started = machine.platform.processes.started[0];
        EXPECT_EQ(started.applicationName, path);
        EXPECT_EQ(started.commandLine, u"\"" + path + u"\"");
    }
}

// The process handle is closed whatever happens after a successful start, and there is
// none to close when the start fails.
TEST(InstallerRunner, ProcessHandleIsClosedOnEveryPath) {
    struct Row {
        const char* what;
        std::function<void(Machine&)> arrange;
        bool installed;
        std::uint32_t closes;
    };
    const Row rows[] = {
        {"success", [](Machine&) {}, true, 1},
        {"exit code unreadable", [](Machine& m) { m.platform.log.Fail(Call::GetExitCode); }, false,
         1},
        {"start fails", [](Machine& m) { m.platform.log.Fail(Call::StartProcess); }, false, 0},
        {"no program at the path", [](Machine& m) { m.platform.files.Delete(kInstaller); }, false,
         0},
        {"installer fails", [](Machine& m) {
             m.platform.processes.onStart = [](const fake::StartedProcess&) { return 1u; };
         }, false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Machine machine(kInstaller);
        row.arrange(machine);
        EXPECT_EQ(machine.Run(kInstaller), row.installed);
        EXPECT_EQ(machine.Count(Call::CloseProcess), row.closes);
        EXPECT_EQ(machine.platform.processes.OpenHandles(), 0u);
    }
}

TEST(InstallerRunner, FailedWaitStillReadsTheExitCodeAndClosesTheHandle) {
    // A process that has not ended reads back as still active (259), which is not 0.
    Machine machine(kInstaller, 259);
    machine.platform.log.Fail(Call::WaitForExit);
    EXPECT_FALSE(machine.Run(kInstaller));
    EXPECT_EQ(machine.Count(Call::GetExitCode), 1u);
    EXPECT_EQ(machine.platform.processes.OpenHandles(), 0u);
}

}  // namespace
}  // namespace wrapper
