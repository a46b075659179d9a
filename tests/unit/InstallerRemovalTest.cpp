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

TEST(InstallerRemoval, RetriesOnlyWhileTheFileIsInUseAndStaysBounded) {
    std::uint32_t total = 0;
    for (const std::uint32_t pause : run::kDeletePausesMs) total += pause;
    // The user waits for this after the install has finished.
    EXPECT_LE(total, 2000u);

    fake::FakePlatform machine;
    EXPECT_EQ(run::RemoveExtractedInstaller(machine.files, machine.clock, kInstallerPath),
              run::Removal::AlreadyGone);
    EXPECT_TRUE(machine.clock.pauses.empty());
    EXPECT_EQ(machine.log.Count(Call::DeleteAtRestart), 0u);

    machine.files.AddFile(kInstallerPath, {'M', 'Z'});
    machine.files.Hold(kInstallerPath);
    const std::uint32_t deletesBefore = machine.log.Count(Call::Delete);
    EXPECT_EQ(run::RemoveExtractedInstaller(machine.files, machine.clock, kInstallerPath),
              run::Removal::DeletedAtRestart);
    EXPECT_EQ(machine.clock.pauses,
              std::vector<std::uint32_t>(std::begin(run::kDeletePausesMs),
                                         std::end(run::kDeletePausesMs)));
    EXPECT_EQ(machine.log.Count(Call::Delete) - deletesBefore, std::size(run::kDeletePausesMs) + 1);
}

}  // namespace
}  // namespace wrapper
