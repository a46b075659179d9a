#include "FakePlatform.h"
#include "FakeFacts.h"
#include "run/InstallerRemoval.h"

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

namespace wrapper {
namespace {

using fake::Call;

using fake::kInstallerPath;

// One handle, opened once and checked to be the file written; the delete through it retried
// while the file is in use (its image still mapped), a bounded number of times.
TEST(InstallerRemoval, DeletesOnlyTheFileWrittenThroughOneHandleAndStaysBounded) {
    std::uint32_t total = 0;
    for (const std::uint32_t pause : run::kDeletePausesMs) total += pause;
    // The user waits for this after the install has finished.
    EXPECT_LE(total, 2000u);

    struct Row {
        const char* name;
        std::uint32_t inUseFor;  // attempts that find it in use
        bool scanner;            // held without delete sharing: not even to be opened
        bool swapped;            // another file at the name
        run::Removal removal;
        std::uint32_t opens;
    };
    const std::uint32_t attempts = std::size(run::kDeletePausesMs) + 1;
    const Row rows[] = {
        {"let go", 0, false, false, run::Removal::Deleted, 1},
        {"image mapped for two attempts", 2, false, false, run::Removal::Deleted, 1},
        {"scanner for two attempts", 2, true, false, run::Removal::Deleted, 3},
        {"in use throughout", 99, false, false, run::Removal::Left, 1},
        {"another file at the name", 0, false, true, run::Removal::NotOurs, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake::FakePlatform machine;
        auto& files = machine.files;
        files.AddFile(kInstallerPath, {'M', 'Z'});
        platform::FileIdentity written;
        {
            const platform::UniqueFile file(files, files.OpenAndHold(kInstallerPath));
            ASSERT_TRUE(files.GetIdentity(file.Get(), &written));
        }
        if (row.swapped) files.AddFile(kInstallerPath, {'M', 'Z', 't'});
        platform::UniqueFile scanner;
        if (row.scanner) scanner = platform::UniqueFile(files, files.OpenAndHold(kInstallerPath));
        files.Hold(kInstallerPath, row.inUseFor > 0 && !row.scanner);
        machine.clock.onPause = [&] {
            if (machine.clock.pauses.size() != row.inUseFor) return;
            files.Hold(kInstallerPath, false);
            scanner.Reset();
        };

        EXPECT_EQ(run::RemoveExtractedInstaller(files, machine.clock, kInstallerPath, written),
                  row.removal);
        EXPECT_EQ(machine.log.Count(Call::OpenForDeleting), row.opens);
        const bool gone = row.removal == run::Removal::Deleted;
        EXPECT_EQ(machine.clock.pauses.size(),
                  row.removal == run::Removal::Left ? attempts - 1 : gone ? row.inUseFor : 0);
        EXPECT_EQ(files.Exists(kInstallerPath), !gone);
        EXPECT_EQ(files.OpenHandles(), 0u);
    }
}

}  // namespace
}  // namespace wrapper
