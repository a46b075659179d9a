#pragma once

// The campaign slot in a package's signature, as the tools see it: read with the launcher's
// own code from the same bytes (package/CampaignStamp.h there), described for reports, and
// written by wrapper-stamp. A stamp changes only the slot's bytes, which the signature does
// not cover; the launcher takes it only for a package signed with an empty campaign.

#include "package/CampaignStamp.h"
#include "tools/host/ByteSource.h"
#include "tools/host/Expected.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace wrapper::tools::package {

struct Inspection;

// The certificate table that ends the file (as the launcher finds it) and its slot.
struct SlotReport {
    std::uint64_t tableOffset = 0;
    std::uint64_t tableSize = 0;  // 0: no certificate table ends the file
    // For a table the launcher reads (tableSize from 1 to kStampTableLimit):
    wrapper::package::SlotStatus status = wrapper::package::SlotStatus::NotOneEntry;
    // For SlotStatus::Found:
    wrapper::package::StampSlot slot;  // offsets from tableOffset
    wrapper::package::StampStatus stamp = wrapper::package::StampStatus::Unstamped;
    std::string areaText;  // the area's bytes up to its first zero byte
    // What the launcher's own reading (ReadCampaignStamp) gives, and whether it gives any.
    bool launcherReadsStamp = false;
    std::string stampedCampaign;
};

// Reads the slot of `source` with the launcher's code. Fails only when the bytes cannot be
// read.
host::Expected<SlotReport> ReadSlot(host::ByteSource& source);

// Whether a slot is there, in words: "1024 bytes, 993 of them for a stamp", "no certificate
// table ends the file", "the signature has no slot attribute", ...
std::string DescribeSlot(const SlotReport& report);

// What the launcher will use as the package's campaign, and why.
struct LauncherCampaign {
    std::string text;
    std::string why;
};
LauncherCampaign CampaignTheLauncherUses(const Inspection& inspection);

// Whether `inspection`'s package can be stamped with `campaign` (an empty `campaign` asks
// only whether it can be stamped at all); the failure says why not.
host::Status CheckStamp(const Inspection& inspection, const std::string& campaign);

// The stamp area's new bytes for `campaign`: the prefix, the text, zero bytes.
std::vector<std::uint8_t> StampArea(const SlotReport& report, const std::string& campaign);

// `base` with `bytes` in place of its bytes at `offset`. The base must outlive it.
class PatchedSource final : public host::ByteSource {
public:
    PatchedSource(host::ByteSource& base, std::uint64_t offset, std::vector<std::uint8_t> bytes)
        : base_(base), offset_(offset), bytes_(std::move(bytes)) {}
    std::uint64_t Size() const override { return base_.Size(); }
    host::Expected<std::size_t> ReadAt(std::uint64_t offset, void* buffer,
                                       std::size_t size) override;

private:
    host::ByteSource& base_;
    std::uint64_t offset_;
    std::vector<std::uint8_t> bytes_;
};

// Receives the stamped copy's bytes in order; a failure stops the copy.
using ByteSink = std::function<host::Status(const void* data, std::size_t size)>;

// Writes `package` (inspected as `before`) to `sink` with `campaign` stamped into its slot.
// Before the first byte goes out, the launcher's own reading of the stamped bytes must give
// `campaign`; as the bytes go out their Authenticode digest is taken, and it and the length
// must be the package's. Fails with the refusal (CheckStamp's, or what the stamped bytes
// failed) or the failure that stopped or spoiled the copy. After a failure the caller must
// not keep what the sink received.
host::Status WriteStamped(host::ByteSource& package, const Inspection& before,
                          const std::string& campaign, const ByteSink& sink);

}  // namespace wrapper::tools::package
