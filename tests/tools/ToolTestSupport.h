#pragma once

// Shared by the producer-tool tests: Windows executables small enough to make by hand, a
// scratch folder per test, and the built tools run as a producer runs them.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tooltest {

using Bytes = std::vector<std::uint8_t>;

// A minimal 32-bit Windows executable of `size` bytes (at least 1024): MZ header, PE
// headers with one section, zero filler. Signing tools accept it. When `certificateTable`
// is set, the data directory names a certificate table at that offset and size.
struct CertificateEntry {
    std::uint32_t offset;
    std::uint32_t size;
};
Bytes MinimalExecutable(std::size_t size, std::optional<CertificateEntry> certificateTable = {});

// The 64-bit variant's headers (PE32+), same layout rules.
Bytes MinimalExecutable64(std::size_t size, std::optional<CertificateEntry> certificateTable = {});

// A package made in memory: launcher, payload, trailer (fields copied, at most 260 bytes
// each, so a 260-byte text leaves no terminator), then `after`.
struct PackageParts {
    Bytes launcher = MinimalExecutable(2048);
    Bytes payload = MinimalExecutable(4096);
    std::string fields[4] = {"https://example.com%1/start?", "utm_source=test",
                             "https://example.com%1/welcome?", "https://example.com%1/goodbye?"};
    std::optional<std::uint64_t> payloadSize;  // the real size when not set
    Bytes after;
};
Bytes BuildPackage(const PackageParts& parts);
Bytes Marker();

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
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `arguments` and waits for it; output is captured.
RunResult Run(const std::string& program, const std::vector<std::string>& arguments);

// Whether `program` is found on PATH.
bool OnPath(const std::string& program);

}  // namespace tooltest
