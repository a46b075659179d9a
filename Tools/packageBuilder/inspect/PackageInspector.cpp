#include "PackageInspector.h"

#include "HostFiles.h"
#include "ToolText.h"
#include "package/PayloadExtractor.h"
#include "package/TrailerLocator.h"
#include "package/TrailerReader.h"
#include "platform/Clock.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

namespace packageinspector {

namespace fs = std::filesystem;
using wrapper::package::Field;
using wrapper::package::kMarkerSize;
using wrapper::package::kTrailerSize;
using wrapper::platform::FileHandle;
using wrapper::platform::Files;
using wrapper::platform::SeekOrigin;
using wrapper::platform::UniqueFile;

namespace {

// The offset of every 32-byte window of the stream that equals the marker.
std::vector<std::uint64_t> FindMarkers(std::istream& in) {
    unsigned char marker[kMarkerSize];
    wrapper::package::BuildTrailerMarker(marker);
    constexpr std::size_t kBlock = 1 << 20;
    std::vector<char> buffer(kBlock + kMarkerSize - 1);
    std::size_t carried = 0;  // bytes kept from the previous block
    std::uint64_t blockStart = 0;  // file offset of the buffer's first byte
    std::vector<std::uint64_t> offsets;
    in.clear();
    in.seekg(0);
    while (in) {
        in.read(buffer.data() + carried, kBlock);
        const std::size_t length = carried + static_cast<std::size_t>(in.gcount());
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (std::size_t s = 0; s + kMarkerSize <= length; ++s) {
            if (bytes[s] == marker[0] && std::memcmp(bytes + s, marker, kMarkerSize) == 0) {
                offsets.push_back(blockStart + s);
            }
        }
        // The last 31 bytes start windows that the next block completes.
        carried = std::min<std::size_t>(length, kMarkerSize - 1);
        std::memmove(buffer.data(), buffer.data() + length - carried, carried);
        blockStart += length - carried;
    }
    return offsets;
}

bool AllZero(std::istream& in, std::uint64_t offset, std::uint64_t length) {
    std::vector<char> bytes(length);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    return in.gcount() == static_cast<std::streamsize>(length) &&
           std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

void ClassifyAfterMarker(std::istream& in, Inspection& inspection) {
    const PackageLayout& layout = inspection.layout;
    if (layout.afterMarker == 0) {
        inspection.afterMarkerKind = AfterMarkerKind::Nothing;
        return;
    }
    inspection.afterMarkerKind = AfterMarkerKind::Other;
    const auto& table = inspection.launcherImage.certificateTable;
    if (!table || table->offset < layout.markerEnd ||
        table->offset + table->size != inspection.fileSize) {
        return;
    }
    // Signing tools start the table on an 8-byte boundary and pad with zeros to get there.
    const std::uint64_t padding = table->offset - layout.markerEnd;
    if (padding < 8 && AllZero(in, layout.markerEnd, padding)) {
        inspection.afterMarkerKind = AfterMarkerKind::CertificateTable;
        inspection.certificatePadding = padding;
    }
}

// The launcher's file services, except that the installer file the extraction creates is
// `target`, wherever the launcher would have put it. The temporary directory is a stand-in
// that only has to satisfy the launcher's length checks.
class ExtractionFiles final : public Files {
public:
    ExtractionFiles(Files& base, std::u16string target) : base_(base), target_(std::move(target)) {}

    std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) override {
        return base_.GetOwnPath(buffer, capacity);
    }
    std::uint32_t GetTempDirectory(std::uint32_t capacity, char16_t* buffer) override {
        constexpr char16_t kStandIn[] = u".\\";
        if (capacity < 3) return 3;
        std::copy(kStandIn, kStandIn + 3, buffer);
        return 2;
    }
    FileHandle OpenForReading(const char16_t* path) override { return base_.OpenForReading(path); }
    FileHandle CreateNew(const char16_t*) override { return base_.CreateNew(target_.c_str()); }
    FileHandle OpenAndHold(const char16_t* path) override { return base_.OpenAndHold(path); }
    bool GetIdentity(FileHandle file, wrapper::platform::FileIdentity* identity) override {
        return base_.GetIdentity(file, identity);
    }
    bool Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
              std::int64_t* newPosition) override {
        return base_.Seek(file, distance, origin, newPosition);
    }
    bool Read(FileHandle file, void* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) override {
        return base_.Read(file, buffer, size, bytesRead);
    }
    bool Write(FileHandle file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) override {
        return base_.Write(file, buffer, size, bytesWritten);
    }
    void Close(FileHandle file) override { base_.Close(file); }
    wrapper::platform::DeleteOutcome Delete(const char16_t* path) override {
        return base_.Delete(path);
    }
    bool DeleteAtRestart(const char16_t* path) override { return base_.DeleteAtRestart(path); }

private:
    Files& base_;
    std::u16string target_;
};

// The extracted name does not matter here, so neither does the time it is drawn from.
class StoppedClock final : public wrapper::platform::Clock {
public:
    std::uint64_t SecondsSince1970() override { return 0; }
    void Pause(std::uint32_t) override {}
};

}  // namespace

std::string FieldText(const Inspection& inspection, Field field) {
    const wrapper::package::FieldText text = wrapper::package::GetField(inspection.fields, field);
    return std::string(text.data, text.length);
}

bool FieldTerminated(const Inspection& inspection, Field field) {
    return wrapper::package::GetField(inspection.fields, field).length <
           wrapper::package::kFieldSize;
}

std::optional<Inspection> InspectPackage(const fs::path& path, std::string& error) {
    std::error_code kind;
    if (!fs::is_regular_file(path, kind)) {
        error = "cannot read " + packagebuilder::PathToUtf8(path) +
                (fs::exists(path, kind) ? ": not a file" : "");
        return std::nullopt;
    }
    Files& files = packagebuilder::HostFiles();
    const std::u16string filesPath = packagebuilder::FilesPath(path);
    UniqueFile file(files, files.OpenForReading(filesPath.c_str()));
    std::ifstream in(path, std::ios::binary);
    std::int64_t fileSize = 0;
    if (!file || !in || !files.Seek(file.Get(), 0, SeekOrigin::End, &fileSize)) {
        error = "cannot read " + packagebuilder::PathToUtf8(path);
        return std::nullopt;
    }

    Inspection inspection;
    inspection.fileSize = static_cast<std::uint64_t>(fileSize);
    const std::vector<std::uint64_t> markers = FindMarkers(in);
    inspection.markerCount = static_cast<std::uint32_t>(markers.size());

    // Exactly the launcher's first two steps.
    std::uint64_t payloadSize = 0;
    inspection.code = wrapper::package::LocateTrailer(files, file.Get());
    std::int64_t markerEnd = 0;
    if (inspection.code == wrapper::kSuccess &&
        !files.Seek(file.Get(), 0, SeekOrigin::Current, &markerEnd)) {
        error = "cannot read " + packagebuilder::PathToUtf8(path);
        return std::nullopt;
    }
    if (inspection.code == wrapper::kSuccess) {
        inspection.code =
            wrapper::package::ReadTrailer(files, file.Get(), inspection.fields, payloadSize);
    }
    if (inspection.code != wrapper::kSuccess) return inspection;

    PackageLayout& layout = inspection.layout;
    layout.markerEnd = static_cast<std::uint64_t>(markerEnd);
    layout.trailerStart = layout.markerEnd - kTrailerSize;
    layout.payloadSize = payloadSize;
    layout.payloadStart = layout.trailerStart - payloadSize;
    layout.afterMarker = inspection.fileSize - layout.markerEnd;

    inspection.launcherImage = packagebuilder::ReadPeInfo(in, 0, layout.payloadStart);
    inspection.payload = packagebuilder::ReadPeInfo(in, layout.payloadStart, layout.payloadSize);
    // The table a signature lives in is named by the headers at the start of the file,
    // which are the launcher image's; the image must be long enough to hold them.
    ClassifyAfterMarker(in, inspection);
    const auto& table = inspection.launcherImage.certificateTable;
    if (table && table->offset + table->size == inspection.fileSize) {
        inspection.markersInCertificateTable = static_cast<std::uint32_t>(
            std::count_if(markers.begin(), markers.end(),
                          [&](std::uint64_t offset) { return offset >= table->offset; }));
    }
    inspection.handOff = PreviewHandOff(inspection.fields);
    return inspection;
}

std::string ExtractPayloadTo(const fs::path& path, const fs::path& target,
                             wrapper::ResultCode& code) {
    code = wrapper::kSuccess;
    Files& files = packagebuilder::HostFiles();
    const std::u16string filesPath = packagebuilder::FilesPath(path);
    UniqueFile package(files, files.OpenForReading(filesPath.c_str()));
    if (!package) return "cannot read " + packagebuilder::PathToUtf8(path);

    wrapper::package::TrailerFields fields = {};
    std::uint64_t payloadSize = 0;
    code = wrapper::package::LocateTrailer(files, package.Get());
    if (code == wrapper::kSuccess) {
        code = wrapper::package::ReadTrailer(files, package.Get(), fields, payloadSize);
    }
    if (code != wrapper::kSuccess) return "the launcher would refuse this package";

    const fs::path partial = packagebuilder::PartialPathFor(target);
    const std::u16string partialPath = packagebuilder::FilesPath(partial);
    ExtractionFiles extraction(files, partialPath);
    StoppedClock clock;
    char16_t launcherName[wrapper::package::kPathCapacity] = {};
    bool created = false;
    wrapper::platform::FileIdentity identity;
    code = wrapper::package::ExtractPayload(extraction, clock, package.Get(), payloadSize,
                                            launcherName, created, identity);
    std::string problem;
    if (!created) {
        code = wrapper::kSuccess;  // the launcher's own temporary file would be another one
        problem = "cannot create " + packagebuilder::PathToUtf8(partial);
    } else if (code != wrapper::kSuccess) {
        problem = "the payload could not be copied";
    } else {
        std::error_code renameError;
        fs::rename(partial, target, renameError);
        if (renameError) {
            problem = "cannot rename into " + packagebuilder::PathToUtf8(target) + ": " +
                      renameError.message();
        }
    }
    if (!problem.empty() && created) files.Delete(partialPath.c_str());
    return problem;
}

}  // namespace packageinspector
