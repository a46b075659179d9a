#include "tools/package/PackageInspector.h"

#include "tools/package/SourceFiles.h"
#include "tools/cli/ToolText.h"
#include "package/PayloadExtractor.h"
#include "package/TrailerLocator.h"
#include "package/TrailerReader.h"
#include "tools/host/ToolFiles.h"
#include "WrapperVersion.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace wrapper::tools::package {

namespace fs = std::filesystem;
namespace host = wrapper::tools::host;
using wrapper::package::Field;
using wrapper::package::kMarkerSize;
using wrapper::package::kTrailerSize;
using wrapper::platform::SeekOrigin;
using wrapper::platform::UniqueFile;

namespace {

constexpr std::size_t kScanBlock = 1 << 20;
// A signature is a few kilobytes; a table far beyond that is not read into memory.
constexpr std::uint64_t kMaxSignatureTable = 64ull << 20;
constexpr std::uint16_t kWinCertTypePkcsSignedData = 0x0002;

// Where a byte pattern occurs inside [0, end) of a file read in order: how often, and the
// first `kept` offsets. Each window fed starts with the bytes the previous one ended with,
// so a pattern across a block edge is found, and found once.
class PatternFinder {
public:
    PatternFinder(std::vector<std::uint8_t> pattern, std::uint64_t end, std::size_t kept)
        : pattern_(std::move(pattern)), end_(end), kept_(kept) {}

    // The bytes a window must carry from the previous one.
    std::size_t Carry() const { return pattern_.size() - 1; }

    // `window` holds `length` bytes of the file from offset `windowStart`.
    void Feed(std::uint64_t windowStart, const std::uint8_t* window, std::size_t length) {
        const std::size_t size = pattern_.size();
        if (length < size) return;
        std::size_t s = next_ > windowStart ? static_cast<std::size_t>(next_ - windowStart) : 0;
        for (; s + size <= length && windowStart + s + size <= end_; ++s) {
            if (window[s] == pattern_[0] && std::memcmp(window + s, pattern_.data(), size) == 0) {
                if (offsets.size() < kept_) offsets.push_back(windowStart + s);
                ++count;
            }
        }
        next_ = std::max(next_, windowStart + (length - size) + 1);
    }

    std::uint32_t count = 0;
    std::vector<std::uint64_t> offsets;  // the first `kept`, in file order

private:
    std::vector<std::uint8_t> pattern_;
    std::uint64_t end_;
    std::size_t kept_;
    std::uint64_t next_ = 0;  // the first offset no window has been searched at
};

bool AllZero(host::ByteSource& source, std::uint64_t offset, std::uint64_t length) {
    std::vector<char> bytes(static_cast<std::size_t>(length));  // the padding: under 8 bytes
    const host::Expected<bool> all = host::ReadExactly(source, offset, bytes.data(), bytes.size());
    return all && *all && std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

void ClassifyAfterMarker(host::ByteSource& source, Inspection& inspection) {
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
    if (padding < 8 && AllZero(source, layout.markerEnd, padding)) {
        inspection.afterMarkerKind = AfterMarkerKind::CertificateTable;
        inspection.certificatePadding = padding;
    }
}

// One signature's message into `check`: Matches until the file's digest says otherwise, or
// Unreadable and why. Returns the messages of the signatures nested in it.
std::vector<std::vector<std::uint8_t>> ReadSignatureMessage(const std::uint8_t* message,
                                                            std::size_t size,
                                                            SignatureCheck& check) {
    host::Expected<host::SignedDigest> digest = host::ReadSignedDigest(message, size);
    if (!digest) {
        check.state = SignatureState::Unreadable;
        check.problem = digest.error();
        return {};
    }
    check.algorithm = digest->algorithm;
    check.signedDigest = digest->value;
    check.timestamped = digest->timestamped;
    check.state = SignatureState::Matches;
    return std::move(digest->nested);
}

// Reads the signature in the certificate table that follows the marker, and the signatures
// nested in it.
void ReadSignature(host::ByteSource& source, const Inspection& inspection, SignatureCheck& check,
                   std::vector<SignatureCheck>& nested) {
    const auto& table = *inspection.launcherImage.certificateTable;
    check.state = SignatureState::Unreadable;
    if (table.size > kMaxSignatureTable) {
        check.problem = "the certificate table is " + std::to_string(table.size) +
                        " bytes long, more than a signature needs";
        return;
    }
    // WIN_CERTIFICATE: dwLength (header included), wRevision, wCertificateType, the message.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(table.size));  // at most the limit
    const host::Expected<bool> all =
        host::ReadExactly(source, table.offset, bytes.data(), bytes.size());
    if (!all || !*all || bytes.size() < 8) {
        check.problem = "the certificate table cannot be read" + (all ? "" : ": " + all.error());
        return;
    }
    const std::uint32_t length = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                 (static_cast<std::uint32_t>(bytes[3]) << 24);
    const std::uint16_t type = static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8));
    if (length < 8 || length > bytes.size()) {
        check.problem = "the certificate table's first entry claims " + std::to_string(length) +
                        " bytes in a table of " + std::to_string(bytes.size());
        return;
    }
    if (type != kWinCertTypePkcsSignedData) {
        check.problem = "the certificate table's first entry is of type " + std::to_string(type) +
                        ", not a PKCS#7 signature";
        return;
    }
    // Signing tools nest every further signature in the first one; what a nested one nests
    // in turn is not looked into.
    for (const std::vector<std::uint8_t>& message :
         ReadSignatureMessage(bytes.data() + 8, length - 8, check)) {
        ReadSignatureMessage(message.data(), message.size(), nested.emplace_back());
    }
    if (check.state == SignatureState::Unreadable) {
        check.problem =
            "the certificate table holds no signature this tool reads: " + check.problem;
    }
}

// The uninstall key's fixed part as the launcher holds it: UTF-16LE.
std::vector<std::uint8_t> UninstallKeyPrefix() {
    constexpr std::string_view prefix = WRAPPER_UNINSTALL_KEY_PREFIX;
    std::vector<std::uint8_t> pattern;
    for (const char c : prefix) {
        pattern.push_back(static_cast<std::uint8_t>(c));
        pattern.push_back(0);
    }
    return pattern;
}

// The uninstall keys whose fixed part starts at `found`, inside the first `length` bytes of
// `source`: the text up to a zero unit (a key without one within the registry's 255 units
// is not a key the launcher could open, and is not taken).
host::Status ReadUninstallKeys(host::ByteSource& source, const std::vector<std::uint64_t>& found,
                               std::uint64_t length, std::vector<std::string>& keys) {
    constexpr std::size_t kMaxKeyUnits = 255;
    for (const std::uint64_t at : found) {
        std::uint8_t units[kMaxKeyUnits * 2];
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(sizeof units, length - at));
        const host::Expected<std::size_t> read = source.ReadAt(at, units, want);
        if (!read) return host::Unexpected{read.error()};
        const std::size_t got = *read;
        std::string key;
        for (std::size_t i = 0; i + 1 < got; i += 2) {
            const unsigned unit = units[i] | (units[i + 1] << 8);
            if (unit == 0) {
                keys.push_back(key);
                break;
            }
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
            key += unit >= 0x20 && unit < 0x7F ? std::string(1, static_cast<char>(unit))
                                               : std::string(escaped);
        }
    }
    return {};
}

// The signatures read from the certificate table, still to be held against the file.
std::vector<SignatureCheck*> SignaturesToCompare(Inspection& inspection) {
    std::vector<SignatureCheck*> read;
    if (inspection.signature.state == SignatureState::Matches) {
        read.push_back(&inspection.signature);
    }
    for (SignatureCheck& nested : inspection.nestedSignatures) {
        if (nested.state == SignatureState::Matches) read.push_back(&nested);
    }
    return read;
}

// One pass over the file: the SHA-256 of the whole and of its parts, the Authenticode
// digest in each algorithm a signature uses, every occurrence of the marker, and in the
// launcher image where the uninstall key's fixed part occurs (`keyOffsets`).
host::Status ScanFile(host::ByteSource& source, Inspection& inspection,
                      std::vector<std::uint64_t>& keyOffsets) {
    const bool read = inspection.code == wrapper::kSuccess;
    const PackageLayout& layout = inspection.layout;
    RangeDigest whole(host::DigestAlgorithm::Sha256, 0, inspection.fileSize);
    RangeDigest launcher(host::DigestAlgorithm::Sha256, 0, read ? layout.payloadStart : 0);
    RangeDigest payload(host::DigestAlgorithm::Sha256, layout.payloadStart,
                        read ? layout.trailerStart : layout.payloadStart);
    // By algorithm: however many signatures there are, the file is hashed at most once in
    // each.
    const std::vector<SignatureCheck*> signatures = SignaturesToCompare(inspection);
    constexpr std::size_t kAlgorithms = static_cast<std::size_t>(host::DigestAlgorithm::Sha512) + 1;
    std::array<std::unique_ptr<RangeDigest>, kAlgorithms> authenticode;
    for (const SignatureCheck* signature : signatures) {
        auto& digest = authenticode[static_cast<std::size_t>(signature->algorithm)];
        if (!digest) digest = AuthenticodeDigest(inspection, signature->algorithm);
    }
    // A refused file may be the bare launcher, whose hash is compared with a package's.
    const std::uint64_t imageEnd = read ? layout.payloadStart : inspection.fileSize;
    const std::unique_ptr<RangeDigest> neutral =
        ImageDigest(read ? inspection.launcherImage : ReadPeInfo(source, 0, imageEnd), imageEnd,
                    host::DigestAlgorithm::Sha256);

    unsigned char marker[kMarkerSize];
    wrapper::package::BuildTrailerMarker(marker);
    PatternFinder markers({marker, marker + kMarkerSize}, inspection.fileSize, kMarkerOffsetsKept);
    PatternFinder keys(UninstallKeyPrefix(), read ? layout.payloadStart : 0, kUninstallKeysKept);
    const std::size_t carry = std::max(markers.Carry(), keys.Carry());
    std::vector<std::uint8_t> buffer(kScanBlock + carry);
    std::size_t carried = 0;  // bytes kept from the previous block
    for (std::uint64_t offset = 0; offset < inspection.fileSize;) {
        const host::Expected<std::size_t> blockRead =
            source.ReadAt(offset, buffer.data() + carried, kScanBlock);
        if (!blockRead) return host::Unexpected{blockRead.error()};
        const std::size_t got = *blockRead;
        if (got == 0) {
            return host::Unexpected{"the file ended at offset " + std::to_string(offset) +
                                    ", before its size"};
        }
        const std::uint8_t* block = buffer.data() + carried;
        whole.Feed(offset, block, got);
        launcher.Feed(offset, block, got);
        payload.Feed(offset, block, got);
        for (const auto& digest : authenticode) {
            if (digest) digest->Feed(offset, block, got);
        }
        if (neutral) neutral->Feed(offset, block, got);

        const std::size_t length = carried + got;
        const std::uint64_t windowStart = offset - carried;
        markers.Feed(windowStart, buffer.data(), length);
        keys.Feed(windowStart, buffer.data(), length);
        // The last bytes start windows that the next block completes.
        carried = std::min(length, carry);
        std::memmove(buffer.data(), buffer.data() + length - carried, carried);
        offset += got;
    }
    inspection.markerCount = markers.count;
    inspection.markerOffsets = std::move(markers.offsets);
    keyOffsets = std::move(keys.offsets);
    inspection.packageSha256 = whole.Finish();
    if (read) {
        inspection.launcherSha256 = launcher.Finish();
        inspection.payloadSha256 = payload.Finish();
    }
    if (neutral) inspection.launcherNeutralSha256 = neutral->Finish();
    std::array<std::vector<std::uint8_t>, kAlgorithms> fileDigests;
    for (std::size_t i = 0; i < kAlgorithms; ++i) {
        if (authenticode[i]) fileDigests[i] = authenticode[i]->Finish();
    }
    for (SignatureCheck* signature : signatures) {
        signature->fileDigest = fileDigests[static_cast<std::size_t>(signature->algorithm)];
        signature->state = signature->fileDigest == signature->signedDigest
                               ? SignatureState::Matches
                               : SignatureState::Differs;
    }
    return {};
}

}  // namespace

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::optional<std::string> ProductId(const Inspection& inspection) {
    constexpr std::string_view prefix = WRAPPER_UNINSTALL_KEY_PREFIX;
    constexpr std::string_view suffix = WRAPPER_UNINSTALL_KEY_SUFFIX;
    if (inspection.uninstallKeys.size() != 1) return std::nullopt;
    const std::string& key = inspection.uninstallKeys.front();
    if (key.size() <= prefix.size() + suffix.size() || !key.ends_with(suffix)) return std::nullopt;
    return key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
}

RangeDigest::RangeDigest(host::DigestAlgorithm algorithm, std::uint64_t begin, std::uint64_t end,
                         std::vector<Span> skipped)
    : digest_(algorithm), begin_(begin), end_(end), skipped_(std::move(skipped)) {
    std::sort(skipped_.begin(), skipped_.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
}

void RangeDigest::Feed(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::uint64_t from = std::max(offset, begin_);
    const std::uint64_t to = std::min(offset + size, end_);
    for (const Span& span : skipped_) {
        if (from >= to) return;
        if (span.end <= from || span.begin >= to) continue;
        // Both counts lie within [offset, offset + size): they fit in a size_t.
        if (span.begin > from) {
            digest_.Update(data + (from - offset), static_cast<std::size_t>(span.begin - from));
        }
        from = std::max(from, span.end);
    }
    if (from < to) digest_.Update(data + (from - offset), static_cast<std::size_t>(to - from));
}

std::unique_ptr<RangeDigest> AuthenticodeDigest(const Inspection& inspection,
                                                host::DigestAlgorithm algorithm) {
    const PeInfo& image = inspection.launcherImage;
    if (!image.certificateTable) return nullptr;
    return ImageDigest(image, image.certificateTable->offset, algorithm);
}

std::unique_ptr<RangeDigest> ImageDigest(const PeInfo& image, std::uint64_t end,
                                         host::DigestAlgorithm algorithm) {
    if (!image.checksumOffset || !image.certificateEntryOffset) return nullptr;
    if (image.certificateTable) end = std::min(end, image.certificateTable->offset);
    return std::make_unique<RangeDigest>(
        algorithm, 0, end,
        std::vector<RangeDigest::Span>{
            {*image.checksumOffset, *image.checksumOffset + 4},
            {*image.certificateEntryOffset, *image.certificateEntryOffset + 8}});
}

std::string FieldText(const Inspection& inspection, Field field) {
    const wrapper::TextView text = wrapper::package::FieldText(inspection.fields, field);
    return std::string(text.data, text.length);
}

bool FieldTerminated(const Inspection& inspection, Field field) {
    return wrapper::package::FieldText(inspection.fields, field).length <
           wrapper::package::kFieldSize;
}

host::Status InspectSource(host::ByteSource& source, Inspection& inspection) {
    inspection = Inspection{};
    inspection.fileSize = source.Size();
    SourceFiles files(source);
    UniqueFile file(files, files.OpenForReading(u""));

    // Exactly the launcher's first two steps, which end at the payload's first byte.
    std::uint64_t payloadSize = 0;
    std::int64_t payloadStart = 0;
    inspection.code = wrapper::package::LocateAndReadTrailer(files, file.Get(),
                                                             inspection.fields, payloadSize);
    if (inspection.code == wrapper::kSuccess) {
        files.Seek(file.Get(), 0, SeekOrigin::Current, &payloadStart);
    }
    // The launcher would stop at a failed read too, but this is the tool's own reading.
    if (!files.Failure().empty()) return host::Unexpected{files.Failure()};

    if (inspection.code == wrapper::kSuccess) {
        PackageLayout& layout = inspection.layout;
        layout.payloadStart = static_cast<std::uint64_t>(payloadStart);
        layout.payloadSize = payloadSize;
        layout.trailerStart = layout.payloadStart + payloadSize;
        layout.markerEnd = layout.trailerStart + kTrailerSize;
        layout.afterMarker = inspection.fileSize - layout.markerEnd;

        inspection.launcherImage = ReadPeInfo(source, 0, layout.payloadStart);
        inspection.payload =
            ReadPeInfo(source, layout.payloadStart, layout.payloadSize);
        // The table a signature lives in is named by the headers at the start of the file,
        // which are the launcher image's; the image must be long enough to hold them.
        ClassifyAfterMarker(source, inspection);
        const PeInfo& image = inspection.launcherImage;
        if (inspection.afterMarkerKind == AfterMarkerKind::CertificateTable &&
            image.checksumOffset && image.certificateEntryOffset) {
            ReadSignature(source, inspection, inspection.signature, inspection.nestedSignatures);
        }
    }
    if (inspection.code == wrapper::kSuccess) {
        host::Expected<SlotReport> slot = ReadSlot(source);
        if (!slot) return host::Unexpected{slot.error()};
        inspection.slot = std::move(*slot);
        // The hand-off carries the campaign the launcher will use: a valid stamp's for a
        // package signed without one.
        wrapper::package::TrailerFields handedOff = inspection.fields;
        const std::string campaign = CampaignTheLauncherUses(inspection).text;
        char* field = handedOff.bytes[static_cast<std::size_t>(Field::CampaignQuery)];
        std::fill_n(field, wrapper::package::kFieldSize, 0);
        std::copy_n(campaign.data(),
                    std::min<std::size_t>(campaign.size(), wrapper::package::kFieldSize), field);
        inspection.handOff = PreviewHandOff(handedOff);
    }
    std::vector<std::uint64_t> keyOffsets;
    if (host::Status scanned = ScanFile(source, inspection, keyOffsets); !scanned) {
        return scanned;
    }
    return ReadUninstallKeys(source, keyOffsets, inspection.layout.payloadStart,
                             inspection.uninstallKeys);
}

host::Expected<Inspection> InspectPackage(const fs::path& path) {
    const auto file = host::InputFile::Open(path);
    if (!file) return host::Unexpected{"cannot read " + host::PathText(path) + ": " + file.error()};
    Inspection inspection;
    if (const host::Status read = InspectSource(**file, inspection); !read) {
        return host::Unexpected{"cannot read " + host::PathText(path) + ": " + read.error()};
    }
    return inspection;
}

host::Status ExtractPayloadTo(host::ByteSource& package, const fs::path& target,
                              wrapper::ResultCode& code) {
    SourceFiles files(package, target);
    UniqueFile file(files, files.OpenForReading(u""));
    wrapper::package::TrailerFields fields = {};
    std::uint64_t payloadSize = 0;
    code = wrapper::package::LocateAndReadTrailer(files, file.Get(), fields, payloadSize);
    if (!files.Failure().empty()) {
        return host::Unexpected{"reading the package failed: " + files.Failure()};
    }
    if (code != wrapper::kSuccess) {
        return host::Unexpected{"the launcher would refuse this package"};
    }

    // The launcher's copy, into the one output `files` makes whatever the path.
    code = wrapper::kInstallerCreateFailed;
    if (const UniqueFile copy(files, files.CreateNew(u"")); copy) {
        code = wrapper::package::CopyPayload(files, file.Get(), payloadSize, copy.Get());
    }
    const auto output = files.TakeOutput();
    if (code != wrapper::kSuccess || output == nullptr) {
        // The trailer was read, so the payload lies within the file: what failed is this
        // tool's reading or writing, which says nothing about what the launcher would do.
        code = wrapper::kSuccess;
        return host::Unexpected{files.Failure().empty() ? "the payload could not be copied"
                                                        : files.Failure()};
    }
    return output->Commit();
}

}  // namespace wrapper::tools::package
