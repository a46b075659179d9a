#pragma once

// Shared by the producer-tool tests: Windows executables small enough to make by hand, a
// scratch folder per test, and the built tools run as a producer runs them.

#include "PackageModel.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tooltest {

using Bytes = std::vector<std::uint8_t>;

// A minimal Windows executable: MZ header, PE headers, a code section, zero filler, and
// when asked a resource section with a version resource. Signing tools accept it.
struct CertificateEntry {
    std::uint32_t offset;
    std::uint32_t size;
};
struct VersionStrings {
    std::string productName;
    std::string productVersion;
    std::string fileDescription = "Test image";
};
struct ExecutableDesign {
    std::size_t size = 1024;    // at least 1024, and room for the resource section
    bool wide = false;          // PE32+ headers
    std::uint16_t machine = 0;  // 0: x86, or x64 for `wide`
    bool dll = false;
    // When set, the data directory names a certificate table at that offset and size.
    std::optional<CertificateEntry> certificateTable = std::nullopt;
    std::optional<VersionStrings> version = std::nullopt;
};
Bytes Executable(const ExecutableDesign& design);

// A 32-bit executable of `size` bytes (at least 1024), no resources.
Bytes MinimalExecutable(std::size_t size, std::optional<CertificateEntry> certificateTable = {});

// The 64-bit variant's headers (PE32+), same layout rules.
Bytes MinimalExecutable64(std::size_t size, std::optional<CertificateEntry> certificateTable = {});

// A launcher as the tools know it: a 32-bit executable whose version resource names the
// product at the tools' own version (at least 2048 bytes), with the configured uninstall
// key in its code section at kLauncherKeyOffset.
inline constexpr std::size_t kLauncherKeyOffset = 0x210;
Bytes MinimalLauncher(std::size_t size, std::optional<CertificateEntry> certificateTable = {});

// Writes the uninstall key of `productId` at `offset` as the launcher holds it: UTF-16LE,
// zero-terminated.
void PutUninstallKey(Bytes& image, std::size_t offset, const std::string& productId);

// The bytes of a VS_VERSIONINFO resource holding these strings and file version 1.2.3.4.
Bytes VersionResource(const VersionStrings& strings);

// A package's parts as the tools accept them: a launcher with the tools' version, a
// payload that is an executable, fields a producer would give. BuildPackage lays them out.
struct PackageParts : wrapper::testing::PackageParts {
    PackageParts();
};
using wrapper::testing::BuildPackage;
using wrapper::testing::Marker;

void WriteFile(const std::filesystem::path& path, const Bytes& bytes);
Bytes ReadFile(const std::filesystem::path& path);
Bytes Concat(std::initializer_list<const Bytes*> parts);

// A fresh folder for one test, removed with everything in it afterwards.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    const std::filesystem::path& path() const { return path_; }
    // Names of the files in the folder, sorted.
    std::vector<std::string> Files() const;

private:
    std::filesystem::path path_;
};

struct RunResult {
    int exitCode = -1;  // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

struct RunOptions {
    // Writes past this size fail with EFBIG (SIGXFSZ is ignored): a full disk, for one
    // process.
    std::optional<std::uint64_t> fileSizeLimit;
    // Standard output goes here instead of being captured (e.g. /dev/full).
    std::string stdoutPath;
    // Called with the process id once it runs, before it is waited for.
    std::function<void(int pid)> whileRunning;
    // Killed after this long: a hang fails the test instead of stopping the suite.
    int timeoutSeconds = 60;
};

// Runs `program` with `arguments` and waits for it; output is captured.
RunResult Run(const std::string& program, const std::vector<std::string>& arguments,
              const RunOptions& options = {});

// Whether `program` is found on PATH.
bool OnPath(const std::string& program);

}  // namespace tooltest
