// Fuzz target: arbitrary bytes as a package file read by wrapper-inspect: the inspection,
// the checks of --verify, the text and JSON reports, the hand-off preview and the payload
// extraction. The tool reads from a path, so each input is written to a file in a
// directory of this process's own.
//
// Invariants: nothing throws (the tool must report, not throw); the launcher's result code
// is the one the package format predicts; on success the layout adds up and the extracted
// payload is exactly the bytes before the trailer; the SHA-256 of the file and of its parts
// are those of the model's ranges; the JSON report parses back.

#include "FuzzSupport.h"
#include "tools/package/HandOffPreview.h"
#include "tools/package/PackageInspector.h"
#include "tools/package/Report.h"
#include "tools/package/Verification.h"
#include "tools/host/ToolCrypto.h"
#include "tools/host/ToolFiles.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace tools = wrapper::tools;

namespace {

namespace fs = std::filesystem;
namespace pi = wrapper::tools::package;

// $TMPDIR (or /dev/shm, or /tmp) / wrapper-inspect-fuzz.<pid>, created once and removed
// when the process ends normally.
class WorkDirectory {
public:
    WorkDirectory() {
        const char* base = std::getenv("TMPDIR");
        fs::path root = base != nullptr && *base != '\0' ? fs::path(base)
                        : fs::is_directory("/dev/shm")    ? fs::path("/dev/shm")
                                                          : fs::path("/tmp");
        path_ = root / ("wrapper-inspect-fuzz." + std::to_string(::getpid()));
        fs::create_directories(path_);
    }
    ~WorkDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::vector<std::uint8_t> Sha256(const std::uint8_t* data, std::size_t size) {
    tools::host::Digest digest(tools::host::DigestAlgorithm::Sha256);
    digest.Update(data, size);
    return digest.Finish();
}

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Inspect(const fs::path& package, const fs::path& extracted, const std::uint8_t* data,
             std::size_t size) {
    const auto inspection = pi::InspectPackage(package);
    FUZZ_CHECK(inspection.has_value());
    const wrapper::testing::ExpectedRead expected = wrapper::testing::ExpectRead(data, size);
    FUZZ_CHECK(inspection->fileSize == size);
    FUZZ_CHECK(inspection->code == expected.code);
    FUZZ_CHECK(inspection->markerCount == expected.markerCount);
    FUZZ_CHECK(inspection->packageSha256 == Sha256(data, size));

    for (const bool allowAnsi : {false, true}) {
        const std::vector<pi::Check> checks = pi::VerifyPackage(*inspection, allowAnsi);
        FUZZ_CHECK(!checks.empty());
        FUZZ_CHECK(!pi::TextChecks(checks, "package", size, allowAnsi).empty());
        const std::string json = pi::JsonReport(*inspection, package.string(), &checks, allowAnsi);
        FUZZ_CHECK(!nlohmann::json::parse(json, nullptr, false).is_discarded());
    }
    FUZZ_CHECK(!pi::TextReport(*inspection, "package").empty());
    const std::string json = pi::JsonReport(*inspection, "package", nullptr);
    FUZZ_CHECK(!nlohmann::json::parse(json, nullptr, false).is_discarded());
    if (inspection->code != wrapper::kSuccess) return;

    const pi::PackageLayout& layout = inspection->layout;
    FUZZ_CHECK(layout.markerEnd == expected.markerEnd);
    FUZZ_CHECK(layout.payloadStart == expected.payloadStart);
    FUZZ_CHECK(layout.payloadSize == expected.payloadSize);
    FUZZ_CHECK(layout.trailerStart + wrapper::package::kTrailerSize == layout.markerEnd);
    FUZZ_CHECK(layout.markerEnd + layout.afterMarker == inspection->fileSize);
    pi::PreviewHandOff(inspection->fields);
    FUZZ_CHECK(inspection->launcherSha256 == Sha256(data, layout.payloadStart));
    FUZZ_CHECK(inspection->payloadSha256 == Sha256(data + layout.payloadStart, layout.payloadSize));

    const auto file = tools::host::InputFile::Open(package);
    FUZZ_CHECK(file);
    wrapper::ResultCode code = wrapper::kScanReadOrCopyFailed;
    FUZZ_CHECK(pi::ExtractPayloadTo(**file, extracted, code));
    FUZZ_CHECK(code == wrapper::kSuccess);
    const std::vector<std::uint8_t> payload(data + layout.payloadStart,
                                            data + layout.payloadStart + layout.payloadSize);
    FUZZ_CHECK(ReadAll(extracted) == payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const WorkDirectory work;
    const fs::path package = work.path() / "package.exe";
    const fs::path extracted = work.path() / "payload.exe";
    {
        std::ofstream out(package, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    try {
        Inspect(package, extracted, data, size);
    } catch (const std::exception& escaped) {
        std::fprintf(stderr, "exception escaped wrapper-inspect's reading code: %s\n", escaped.what());
        __builtin_trap();
    }
    std::error_code ignored;
    fs::remove(extracted, ignored);
    return 0;
}
