// The extracted installer from its creation until the installer has ended, against another
// program of the signed-in user that runs without administrator rights and tries to change
// it: open it for writing, open it for deleting, rename it. The launcher runs elevated,
// so such a program must get nothing from it.

#include "FakePlatform.h"
#include "FakeFacts.h"
#include "HandOffTesting.h"
#include "PackageModel.h"
#include "RunSequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wrapper {
namespace {

using fake::Answer;
using fake::Call;
using fake::CallName;

using fake::kInstallerPath;
using fake::kOwnPath;
constexpr char16_t kMovedPath[] = u"C:\\Users\\user\\AppData\\Local\\Temp\\mine.exe";
constexpr char16_t kInstallDir[] = u"C:\\Program Files (x86)\\Demo";

// A machine with a package whose installer registers the product when it runs.
struct Machine {
    fake::FakePlatform platform;

    Machine() {
        testing::PackageParts parts;
        parts.payload.assign(40000, 0x5a);
        platform.files.SetOwnPath(kOwnPath);
        platform.files.AddFile(kOwnPath, testing::BuildPackage(parts));
        platform.processes.onStart = [this](const fake::StartedProcess&) {
            testing::RegisterProduct(platform, kInstallDir);
            return 0u;
        };
    }
};

struct Attempt {
    std::string when;
    Answer write;
    Answer open;  // for deleting
    Answer rename;
};

// What the other program meets when it tries all three now. A rename that works is undone
// at once, so the run goes on as before.
Attempt TryEverything(fake::FakeFiles& files, std::string when) {
    Attempt attempt{std::move(when), files.UserOpenForWriting(kInstallerPath),
                    files.UserOpenForDeleting(kInstallerPath),
                    files.UserRename(kInstallerPath, kMovedPath)};
    if (attempt.rename == Answer::Done) files.UserRename(kMovedPath, kInstallerPath);
    return attempt;
}

// Before every call from the installer's creation to its deletion, and while the installer
// runs. Only in the two gaps, between closing the writer and holding the copy again and
// between letting go of it after the hand-off and opening it for deleting, may the file be
// deleted or renamed (through the user's rights on its own temporary folder); the file's
// own descriptor refuses writing even there.
TEST(InstallerHold, OtherProgramsOfTheUserCannotChangeTheCopyUntilTheInstallerHasEnded) {
    Machine machine;
    auto& files = machine.platform.files;
    std::vector<Attempt> attempts;
    std::vector<Attempt> gap;
    machine.platform.log.beforeCall = [&](Call call) {
        if (!files.Exists(kInstallerPath)) return;
        Attempt attempt = TryEverything(files, std::string("before ") + CallName(call) + " #" +
                                                   std::to_string(attempts.size() + gap.size()));
        const bool inGap = call == Call::OpenAndHold || call == Call::OpenForDeleting;
        (inGap ? gap : attempts).push_back(attempt);
    };
    machine.platform.processes.onStart = [&](const fake::StartedProcess&) {
        attempts.push_back(TryEverything(files, "while the installer runs"));
        testing::RegisterProduct(machine.platform, kInstallDir);
        return 0u;
    };

    EXPECT_EQ(RunPackage(machine.platform.Services()), kSuccess);
    ASSERT_EQ(machine.platform.processes.started.size(), 1u);
    EXPECT_FALSE(files.Exists(kInstallerPath));
    // From the new file's identity to the hand-off's last call.
    EXPECT_GE(attempts.size(), 20u);
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.when);
        EXPECT_EQ(attempt.write, Answer::AccessDenied);
        EXPECT_EQ(attempt.open, Answer::SharingViolation);
        EXPECT_EQ(attempt.rename, Answer::SharingViolation);
    }
    ASSERT_EQ(gap.size(), 2u);
    for (const Attempt& attempt : gap) {
        EXPECT_EQ(attempt.write, Answer::AccessDenied);
        EXPECT_EQ(attempt.open, Answer::Done);
        EXPECT_EQ(attempt.rename, Answer::Done);
    }
}

// In that gap the other program can put a file of its own at the installer's name. The
// launcher holds whatever it finds there, sees it is not the file it wrote, and leaves it
// alone: nothing is started, nothing deleted, nothing handed off. The code stays 0, as for
// an installer that could not be started.
TEST(InstallerHold, FileSwappedInBeforeTheHoldIsNeitherStartedNorDeleted) {
    const std::vector<std::uint8_t> theirs = {'M', 'Z', 't', 'h', 'e', 'i', 'r', 's'};
    struct Row {
        const char* name;
        bool moveAway;  // else delete
        bool replace;
    };
    const Row rows[] = {
        {"renamed away and replaced", true, true},
        {"deleted and replaced", false, true},
        {"deleted", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Machine machine;
        auto& files = machine.platform.files;
        bool swapped = false;
        machine.platform.log.beforeCall = [&](Call call) {
            if (call != Call::OpenAndHold || swapped) return;
            swapped = true;
            EXPECT_EQ(row.moveAway ? files.UserRename(kInstallerPath, kMovedPath)
                                   : files.UserDelete(kInstallerPath),
                      Answer::Done);
            if (row.replace) {
                EXPECT_EQ(files.UserCreate(kInstallerPath, theirs), Answer::Done);
            }
        };

        EXPECT_EQ(RunPackage(machine.platform.Services()), kSuccess);
        EXPECT_TRUE(swapped);
        EXPECT_TRUE(machine.platform.processes.started.empty());
        EXPECT_EQ(machine.platform.log.Count(Call::DeleteOpened), 0u);
        EXPECT_EQ(machine.platform.log.Count(Call::OpenKey), 0u);
        EXPECT_EQ(files.Exists(kInstallerPath), row.replace);
        if (row.replace) {
            EXPECT_EQ(files.Bytes(kInstallerPath), theirs);
        }
        EXPECT_EQ(files.OpenHandles(), 0u);
    }
}

// After the hand-off the launcher lets go of the copy and opens its name once more, for
// deleting. In that gap the user, who owns the temporary folder, can make the name lead to
// any file (on Windows through a junction to an object-manager folder with a symbolic link
// there, which Wine cannot show; here another file is put at the name). The launcher
// deletes only through a handle open on the file it wrote: another file is left alone, and
// so is the copy, wherever it went.
TEST(InstallerHold, FileSwappedInBeforeTheDeleteIsLeftAlone) {
    const std::vector<std::uint8_t> theirs = {'M', 'Z', 't', 'h', 'e', 'i', 'r', 's'};
    for (const bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "renamed away and replaced" : "renamed away");
        Machine machine;
        auto& files = machine.platform.files;
        bool swapped = false;
        machine.platform.log.beforeCall = [&](Call call) {
            if (call != Call::OpenForDeleting || swapped) return;
            swapped = true;
            EXPECT_EQ(files.UserRename(kInstallerPath, kMovedPath), Answer::Done);
            if (replace) {
                EXPECT_EQ(files.UserCreate(kInstallerPath, theirs), Answer::Done);
            }
        };

        EXPECT_EQ(RunPackage(machine.platform.Services()), kSuccess);
        EXPECT_TRUE(swapped);
        EXPECT_EQ(machine.platform.processes.started.size(), 1u);
        EXPECT_EQ(machine.platform.log.Count(Call::DeleteOpened), 0u);
        EXPECT_EQ(files.Exists(kInstallerPath), replace);
        if (replace) {
            EXPECT_EQ(files.Bytes(kInstallerPath), theirs);
        }
        EXPECT_TRUE(files.Exists(kMovedPath));
        EXPECT_EQ(files.OpenHandles(), 0u);
    }
}

}  // namespace
}  // namespace wrapper
