#pragma once

// Reads a package the way the launcher does (its own locator and reader, over the bytes
// the tool reads) and gathers what a producer needs to see: where everything lies, the
// fields, what follows the marker, what the launcher will make of it all, the SHA-256 of
// each part, and whether a signature still matches the file. wrapper-pack inspects the
// package it is about to write with the same code.

#include "tools/package/HandOffPreview.h"
#include "tools/package/PeImage.h"
#include "tools/package/Settings.h"
#include "ResultCode.h"
#include "package/PackageTrailer.h"
#include "tools/host/ByteSource.h"
#include "tools/host/ToolCrypto.h"
#include "tools/package/StampSlot.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wrapper::tools::package {

// The trailer's text fields with the names producers see in reports and checks: the
// settings table under the name the reports and rules use.
using NamedField = Setting;
inline constexpr const auto& kNamedFields = kSettings;

// What lies between the marker's end and the end of the file.
enum class AfterMarkerKind {
    Nothing,           // the marker ends the file
    CertificateTable,  // exactly the certificate table the launcher image's header names,
                       // after fewer than 8 zero bytes of alignment padding
    Other,             // anything else
};

// Offsets are from the start of the file, sizes in bytes.
struct PackageLayout {
    std::uint64_t payloadStart = 0;  // also the launcher image's size
    std::uint64_t payloadSize = 0;
    std::uint64_t trailerStart = 0;
    std::uint64_t markerEnd = 0;
    std::uint64_t afterMarker = 0;  // bytes from the marker's end to the end of the file
};

// The Authenticode signature in the certificate table that follows the marker, held
// against the file: the digest it carries and the digest of the bytes it covers (the whole
// file before the table, less the header's CheckSum and certificate-table entry). The
// signer's certificate chain is not judged here.
enum class SignatureState {
    None,        // no certificate table follows the marker
    Unreadable,  // the table holds no Authenticode signature this tool can read
    Matches,
    Differs,  // bytes the signature covers changed after signing
};
struct SignatureCheck {
    SignatureState state = SignatureState::None;
    host::DigestAlgorithm algorithm =
        host::DigestAlgorithm::Sha256;
    std::vector<std::uint8_t> signedDigest;
    std::vector<std::uint8_t> fileDigest;
    bool timestamped = false;  // the signer carries a timestamp (see host::SignedDigest)
    std::string problem;  // for Unreadable
};

// At most this many marker offsets are kept; the count goes on.
inline constexpr std::size_t kMarkerOffsetsKept = 8;

struct Inspection {
    std::uint64_t fileSize = 0;
    // What the launcher's locator and reader give for this file. The fields below the layout
    // are meaningful only for kSuccess.
    wrapper::ResultCode code = wrapper::kSuccess;
    PackageLayout layout;
    wrapper::package::TrailerFields fields = {};
    PeInfo launcherImage;  // headers at the start of the file
    PeInfo payload;  // headers at the payload's start (offsets relative to it)
    AfterMarkerKind afterMarkerKind = AfterMarkerKind::Nothing;
    std::uint64_t certificatePadding = 0;  // for CertificateTable: zero bytes before the table
    std::uint32_t markerCount = 0;         // occurrences of the marker anywhere in the file
    std::vector<std::uint64_t> markerOffsets;  // the first kMarkerOffsetsKept, in file order
    HandOffValues handOff;
    // The uninstall keys the launcher image holds (UTF-16 text that starts with the fixed
    // part of the key, up to its terminator), in file order, at most kUninstallKeysKept: the
    // launcher has one, which names the product whose installation it hands off to.
    std::vector<std::string> uninstallKeys;
    // SHA-256 of the whole file (always), and of the launcher image and the payload.
    std::vector<std::uint8_t> packageSha256;
    std::vector<std::uint8_t> launcherSha256;
    std::vector<std::uint8_t> payloadSha256;
    // SHA-256 of the launcher image as Authenticode hashes an image: without the header's
    // CheckSum and certificate-table entry, and up to a certificate table inside it. Signing
    // the package leaves it as it was, so it equals the same hash of the wrapper.exe that was
    // packed. For a file the launcher refuses that is a Windows executable (wrapper.exe
    // itself), the whole file is the image. Empty when the headers lack those fields.
    std::vector<std::uint8_t> launcherNeutralSha256;
    SignatureCheck signature;
    // The signatures nested in that one (host::SignedDigest::nested), in their order, each
    // checked against the file with its own digest algorithm. Only a readable signature is
    // looked into.
    std::vector<SignatureCheck> nestedSignatures;
    // The campaign slot in the signature, read with the launcher's code (for kSuccess).
    SlotReport slot;
};

// A digest of the bytes in [begin, end) of a file fed in order, less some spans inside it.
class RangeDigest {
public:
    struct Span {
        std::uint64_t begin;
        std::uint64_t end;
    };
    RangeDigest(host::DigestAlgorithm algorithm, std::uint64_t begin, std::uint64_t end,
                std::vector<Span> skipped = {});
    // The bytes at [offset, offset + size) of the file.
    void Feed(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
    std::vector<std::uint8_t> Finish() { return digest_.Finish(); }

private:
    host::Digest digest_;
    std::uint64_t begin_;
    std::uint64_t end_;
    std::vector<Span> skipped_;
};

// The Authenticode digest of an image that occupies [0, end) of a file, to be fed the file's
// bytes: every byte before `end`, or before the certificate table when that starts earlier,
// but the header's CheckSum and certificate-table entry. None when the headers lack them.
std::unique_ptr<RangeDigest> ImageDigest(const PeInfo& image, std::uint64_t end,
                                         host::DigestAlgorithm algorithm);

// The Authenticode digest of the file `inspection` describes, to be fed the file's bytes:
// every byte before the certificate table but the header's CheckSum and certificate-table
// entry. None when the headers name no table or lack those fields.
std::unique_ptr<RangeDigest> AuthenticodeDigest(const Inspection& inspection,
                                                host::DigestAlgorithm algorithm);

// Inspects the bytes of `source` into `inspection`. Fails, with a one-line message, only
// when they cannot be read; a package the launcher refuses is an Inspection whose code says
// why.
host::Status InspectSource(host::ByteSource& source, Inspection& inspection);

// Opens `path` (a regular file only) and inspects it; the failure names the file.
host::Expected<Inspection> InspectPackage(const std::filesystem::path& path);

// The text of one field: its bytes up to the first zero, or all 260 without one.
std::string FieldText(const Inspection& inspection, wrapper::package::Field field);
bool FieldTerminated(const Inspection& inspection, wrapper::package::Field field);

inline constexpr std::size_t kUninstallKeysKept = 4;

// The product id in the launcher image's uninstall key, when it holds exactly one key of the
// form prefix + id + "_is1".
std::optional<std::string> ProductId(const Inspection& inspection);

// Lower-case hexadecimal.
std::string Hex(const std::vector<std::uint8_t>& bytes);

// Copies the payload of `package` into `target` with the launcher's own locator, reader
// and extraction (same reads, same copy loop), through a new file beside `target` that is
// renamed into place when complete. A failure is a one-line message naming the operation
// and file that failed; nothing is left beside `target` and `target` is untouched. `code`
// receives the launcher's result code either way: the failing step's code when the launcher
// would fail too, kSuccess otherwise (also when only creating, writing or renaming the target
// failed).
host::Status ExtractPayloadTo(host::ByteSource& package, const std::filesystem::path& target,
                              wrapper::ResultCode& code);

}  // namespace wrapper::tools::package
