// Both tools against what a build machine holds besides regular files: a device reached
// through a link, a full disk, an interrupted run and an output stream that cannot be
// written. Run as root these once destroyed /dev/null; here /dev/null is only ever reached
// through a link in the test's own folder, so a fault replaces that link, not the device.

#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using tooltest::Bytes;

bool IsCharacterDevice(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode);
}

struct ToolFilesTest : ::testing::Test {
    tooltest::ScratchDir dir;
    fs::path launcher = dir / "wrapper.exe";
    fs::path payload = dir / "installer.exe";
    fs::path package = dir / "setup.exe";

    void SetUp() override {
        tooltest::WriteFile(launcher, tooltest::MinimalLauncher(3000));
        tooltest::WriteFile(payload, tooltest::MinimalExecutable(2 << 20));
        ASSERT_EQ(Pack(package).exitCode, 0);
    }

    tooltest::RunResult Pack(const fs::path& output, const tooltest::RunOptions& options = {},
                             std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"--launcher", launcher, "--payload",
                                              payload,      "-o",     output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return tooltest::Run(WRAPPER_PACK, arguments, options);
    }
    tooltest::RunResult Extract(const fs::path& output, const tooltest::RunOptions& options = {}) {
        return tooltest::Run(WRAPPER_INSPECT, {package, "--extract-payload", output}, options);
    }

    // Names in `folder` that a tool left behind: its hidden temporary files.
    static std::vector<std::string> Leftovers(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename();
            if (name.starts_with(".wrapper-")) names.push_back(name);
        }
        return names;
    }
};

TEST_F(ToolFilesTest, DevNullThroughALinkIsNeverReplaced) {
    fs::create_symlink("/dev/null", dir / "null.exe");
    const std::string refusal =
        "output " + (dir / "null.exe").string() +
        " is a symbolic link, not a regular file; only a regular file is ever replaced\n";
    const auto pack = Pack(dir / "null.exe");
    EXPECT_EQ(pack.exitCode, 1);
    EXPECT_EQ(pack.err, "wrapper-pack: " + refusal);
    const auto extract = Extract(dir / "null.exe");
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_EQ(extract.err, "wrapper-inspect: " + refusal);
    EXPECT_TRUE(fs::is_symlink(dir / "null.exe"));
    EXPECT_TRUE(IsCharacterDevice("/dev/null"));
    EXPECT_EQ(Leftovers(dir.path()), std::vector<std::string>{});

    // Read through the link, /dev/null is an input like any device: refused before reading.
    const auto inspect = tooltest::Run(WRAPPER_INSPECT, {dir / "null.exe"});
    EXPECT_EQ(inspect.exitCode, 1);
    EXPECT_EQ(inspect.err, "wrapper-inspect: cannot read " + (dir / "null.exe").string() +
                               ": not a regular file (a character device)\n");
}

// A write that fails ends the run at once, names the file and the system's reason, and
// leaves neither a partial file nor a changed output behind. The disk is a 1 MiB tmpfs
// where the machine lets the test mount one (root, mounts allowed), and a file-size limit
// on the tool's process everywhere: writes past it fail with EFBIG as on a full disk.
TEST_F(ToolFilesTest, AFullDiskStopsTheFirstFailedWrite) {
    struct Disk {
        std::string name;
        fs::path folder;
        tooltest::RunOptions options;
        std::string reason;
    };
    std::vector<Disk> disks;
    const fs::path limited = dir / "limited";
    fs::create_directory(limited);
    tooltest::RunOptions limit;
    limit.fileSizeLimit = 1 << 20;
    disks.push_back({"file-size limit", limited, limit, "File too large"});

    const fs::path mounted = dir / "tmpfs";
    fs::create_directory(mounted);
    const bool haveTmpfs =
        ::geteuid() == 0 && ::mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=1m") == 0;
    if (haveTmpfs) {
        disks.push_back({"full tmpfs", mounted, {}, "No space left on device"});
    } else {
        std::printf(
            "[ NOTE     ] no tmpfs mount here; the file-size limit stands in for a full disk\n");
    }

    for (const Disk& disk : disks) {
        SCOPED_TRACE(disk.name);
        const Bytes earlier(1000, 0x42);
        tooltest::WriteFile(disk.folder / "setup.exe", earlier);
        tooltest::WriteFile(disk.folder / "payload.exe", earlier);

        const auto pack =
            Pack(disk.folder / "setup.exe", disk.options, {"--trailing-bytes", "4294967295"});
        EXPECT_EQ(pack.exitCode, 1);
        const std::string packPrefix = "wrapper-pack: cannot write " +
                                       (disk.folder / "setup.exe").string() + ": writing " +
                                       (disk.folder / ".wrapper-").string();
        EXPECT_TRUE(pack.err.starts_with(packPrefix)) << pack.err;
        EXPECT_TRUE(pack.err.ends_with(".partial failed: " + disk.reason + "\n")) << pack.err;

        const auto extract = Extract(disk.folder / "payload.exe", disk.options);
        EXPECT_EQ(extract.exitCode, 1);
        const std::string extractPrefix = "wrapper-inspect: cannot extract the payload to " +
                                          (disk.folder / "payload.exe").string() + ": writing " +
                                          (disk.folder / ".wrapper-").string();
        EXPECT_TRUE(extract.err.starts_with(extractPrefix)) << extract.err;
        EXPECT_TRUE(extract.err.ends_with(".partial failed: " + disk.reason + "\n")) << extract.err;

        EXPECT_EQ(tooltest::ReadFile(disk.folder / "setup.exe"), earlier);
        EXPECT_EQ(tooltest::ReadFile(disk.folder / "payload.exe"), earlier);
        EXPECT_EQ(Leftovers(disk.folder), std::vector<std::string>{});
    }
    if (haveTmpfs) ::umount2(mounted.c_str(), MNT_DETACH);
}

// Interrupted while it writes (Ctrl-C, a cancelled CI job), wrapper-pack removes its partial
// file and dies of the signal, so its parent sees why it stopped.
TEST_F(ToolFilesTest, AnInterruptedRunLeavesNoPartialFile) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        bool seen = false;
        tooltest::RunOptions options;
        options.whileRunning = [&](int pid) {
            // The temporary file appears when writing starts; 4 GiB of filler keep it going.
            for (int i = 0; i < 20000 && !seen; ++i) {
                seen = !Leftovers(dir.path()).empty();
                if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            ::kill(pid, signal);
        };
        const auto run = Pack(dir / "out.exe", options, {"--trailing-bytes", "4294967295"});
        EXPECT_TRUE(seen) << "no temporary file appeared";
        EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
        EXPECT_EQ(Leftovers(dir.path()), std::vector<std::string>{});
        EXPECT_FALSE(fs::exists(dir / "out.exe"));
    }
}

// Output that cannot be written is a failure, not a success with nothing said.
TEST_F(ToolFilesTest, StandardOutputThatCannotBeWrittenFails) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this machine";
    tooltest::RunOptions full;
    full.stdoutPath = "/dev/full";
    const auto pack = Pack(dir / "out.exe", full);
    EXPECT_EQ(pack.exitCode, 1);
    // The package is whole and stays: only its report is missing.
    EXPECT_EQ(pack.err, "wrapper-pack: the package " + (dir / "out.exe").string() +
                            " is written and kept, but writing its report failed: No space left "
                            "on device\n");
    EXPECT_EQ(tooltest::ReadFile(dir / "out.exe"), tooltest::ReadFile(package));
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{package},
                                                      {"--json", package},
                                                      {"--verify", package},
                                                      {"--version"}}) {
        const auto inspect = tooltest::Run(WRAPPER_INSPECT, arguments, full);
        EXPECT_EQ(inspect.exitCode, 1) << arguments.front();
        EXPECT_EQ(inspect.err,
                  "wrapper-inspect: writing standard output failed: No space left on device\n");
    }
}

}  // namespace
