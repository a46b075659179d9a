#include "FakePlatform.h"
#include "PackageBuilder.h"
#include "RunSequence.h"

#include <gtest/gtest.h>

namespace wrapper {
namespace {

constexpr char16_t kOwnPath[] = u"C:\\Downloads\\package.exe";

struct RunFixture : ::testing::Test {
    fake::FakePlatform machine;
    void Install(const std::vector<std::uint8_t>& package) {
        machine.files.SetOwnPath(kOwnPath);
        machine.files.AddFile(kOwnPath, package);
    }
};

TEST_F(RunFixture, GoodPackageRunsTheWholePayloadAndDeletesIt) {
    testing::PackageParts parts;
    parts.payload.assign(40000, 0x5a);
    Install(testing::BuildPackage(parts));

    EXPECT_EQ(RunPackage(machine.Services()), kSuccess);

    ASSERT_EQ(machine.processes.started.size(), 1u);
    const auto& started = machine.processes.started[0];
    EXPECT_EQ(started.image, parts.payload);
    EXPECT_EQ(started.commandLine, u"\"" + started.applicationName + u"\"");
    EXPECT_FALSE(machine.files.Exists(started.applicationName));
    EXPECT_EQ(machine.files.OpenHandles(), 0u);
    EXPECT_EQ(machine.processes.OpenHandles(), 0u);
}

}  // namespace
}  // namespace wrapper
