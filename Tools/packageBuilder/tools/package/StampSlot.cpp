#include "tools/package/StampSlot.h"

#include "package/SignedExtent.h"
#include "tools/cli/ToolText.h"
#include "tools/package/PackageInspector.h"
#include "tools/package/SourceFiles.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace wrapper::tools::package {

namespace {

using wrapper::package::SlotStatus;
using wrapper::package::StampStatus;
using wrapper::platform::UniqueFile;

constexpr std::uint32_t kPrefix = wrapper::package::kStampPrefixSize;

}  // namespace

host::Expected<SlotReport> ReadSlot(host::ByteSource& source) {
    SlotReport report;
    SourceFiles files(source);
    const UniqueFile file(files, files.OpenForReading(u""));
    std::int64_t offset = 0;
    std::int64_t size = 0;
    // A failed read shows in files.Failure(), checked below with the stamp reader's own.
    static_cast<void>(wrapper::package::FindCertificateTable(
        files, file.Get(), static_cast<std::int64_t>(source.Size()), offset, size));
    char campaign[wrapper::package::kFieldSize] = {};
    report.launcherReadsStamp = wrapper::package::ReadCampaignStamp(files, file.Get(), campaign);
    if (!files.Failure().empty()) return host::Unexpected{files.Failure()};
    report.stampedCampaign = campaign;
    report.tableOffset = static_cast<std::uint64_t>(offset);
    report.tableSize = static_cast<std::uint64_t>(size);
    if (size == 0 || size > wrapper::package::kStampTableLimit) return report;

    std::vector<std::uint8_t> table(static_cast<std::size_t>(size));
    const host::Expected<bool> all =
        host::ReadExactly(source, report.tableOffset, table.data(), table.size());
    if (!all) return host::Unexpected{all.error()};
    if (!*all) return host::Unexpected{"the certificate table is cut short"};
    report.status = wrapper::package::FindStampSlot(
        table.data(), static_cast<std::uint32_t>(table.size()), report.slot);
    if (report.status != SlotStatus::Found) return report;
    const std::uint8_t* area = table.data() + report.slot.areaOffset;
    TextView text = {};
    report.stamp = wrapper::package::ReadStamp(area, report.slot.areaSize, text);
    const std::uint8_t* end = std::find(area, area + report.slot.areaSize, 0);
    report.areaText.assign(area, end);
    return report;
}

std::string DescribeSlot(const SlotReport& report) {
    if (report.tableSize == 0) return "no certificate table ends the file";
    if (report.tableSize > wrapper::package::kStampTableLimit) {
        return "the certificate table is " + std::to_string(report.tableSize) +
               " bytes long, more than the launcher reads for a stamp (" +
               std::to_string(wrapper::package::kStampTableLimit) + ")";
    }
    switch (report.status) {
        case SlotStatus::Found:
            return std::to_string(report.slot.contentSize) + " bytes, " +
                   std::to_string(report.slot.areaSize) + " of them for a stamp";
        case SlotStatus::NotOneEntry:
            return "the certificate table is not one signature entry (revision 0x0200, type 2) "
                   "whose length covers it";
        case SlotStatus::BadSignature:
            return "the signature is not laid out as the launcher reads it";
        case SlotStatus::Padding:
            return "bytes other than zero follow the signature's structure (the strict padding "
                   "check rejects the file)";
        case SlotStatus::NoSlot:
            return "the signature has no slot (sign with osslsigncode -addUnauthenticatedBlob)";
        case SlotStatus::SecondSlot: return "the signature has two slots";
        case SlotStatus::BadSlot:
            return "the slot's value is not one UTF8String that starts with " +
                   std::string(wrapper::package::kSlotBeginMarker);
    }
    return "?";
}

LauncherCampaign CampaignTheLauncherUses(const Inspection& inspection) {
    const std::string signedCampaign =
        FieldText(inspection, wrapper::package::Field::CampaignQuery);
    if (!signedCampaign.empty()) {
        return {signedCampaign, "the signed campaign query; a stamp never replaces it"};
    }
    const SlotReport& slot = inspection.slot;
    if (slot.launcherReadsStamp) return {slot.stampedCampaign, "the stamp in the signature's slot"};
    if (slot.tableSize == 0 || slot.status != SlotStatus::Found) {
        return {"",
                "the signed campaign query is empty and there is no slot: " + DescribeSlot(slot)};
    }
    if (slot.stamp == StampStatus::Unstamped) {
        return {"", "the signed campaign query is empty and the slot is not stamped"};
    }
    return {"", "the signed campaign query is empty and the stamp is not valid: " +
                    cli::Quoted(slot.areaText)};
}

host::Status CheckStamp(const Inspection& inspection, const std::string& campaign) {
    if (inspection.code != wrapper::kSuccess) {
        return host::Unexpected{"the launcher would refuse the package"};
    }
    switch (inspection.signature.state) {
        case SignatureState::None:
            return host::Unexpected{
                "the package is not signed: a stamp goes into its signature's slot (sign the "
                "base package with osslsigncode sign -addUnauthenticatedBlob)"};
        case SignatureState::Unreadable:
            return host::Unexpected{"its signature cannot be read: " +
                                    inspection.signature.problem};
        case SignatureState::Differs:
            return host::Unexpected{
                "its signature no longer matches the file: bytes it covers changed after "
                "signing"};
        case SignatureState::Matches: break;
    }
    const std::string signedCampaign =
        FieldText(inspection, wrapper::package::Field::CampaignQuery);
    if (!signedCampaign.empty()) {
        return host::Unexpected{
            "the package is signed with the campaign " + cli::Quoted(signedCampaign) +
            ", which a stamp never replaces (pack the base package with an empty campaign "
            "to stamp it)"};
    }
    const SlotReport& slot = inspection.slot;
    if (slot.tableSize == 0 || slot.tableSize > wrapper::package::kStampTableLimit ||
        (slot.status != SlotStatus::Found && slot.status != SlotStatus::NoSlot)) {
        return host::Unexpected{"the launcher would not read its slot: " + DescribeSlot(slot)};
    }
    if (slot.status == SlotStatus::NoSlot) {
        return host::Unexpected{"no slot: " + DescribeSlot(slot)};
    }
    if (campaign.empty()) return {};
    if (campaign.size() > wrapper::package::kCampaignTextLimit ||
        !wrapper::package::IsCampaignText(
            {campaign.data(), static_cast<std::uint32_t>(campaign.size())})) {
        return host::Unexpected{
            "campaign " + cli::Quoted(campaign) +
            " is not 1 to 200 bytes of name=value pairs joined by \"&\" (names of "
            "A-Z a-z 0-9 _ . -, at most 32; values of A-Z a-z 0-9 . _ ~ - and %XX; no name "
            "twice)"};
    }
    if (kPrefix + campaign.size() > slot.slot.areaSize) {
        return host::Unexpected{"the slot holds a stamp of " + std::to_string(slot.slot.areaSize) +
                                " bytes; this one needs " +
                                std::to_string(kPrefix + campaign.size())};
    }
    return {};
}

std::vector<std::uint8_t> StampArea(const SlotReport& report, const std::string& campaign) {
    std::vector<std::uint8_t> area(report.slot.areaSize, 0);
    std::memcpy(area.data(), wrapper::package::kStampPrefix, kPrefix);
    std::memcpy(area.data() + kPrefix, campaign.data(), campaign.size());
    return area;
}

host::Status WriteStamped(host::ByteSource& package, const Inspection& before,
                          const std::string& campaign, const ByteSink& sink) {
    host::Status stampable = CheckStamp(before, campaign);
    if (campaign.empty()) stampable = host::Unexpected{"the campaign is empty: nothing to stamp"};
    if (!stampable) return stampable;
    const SlotReport& slot = before.slot;
    PatchedSource stamped(package, slot.tableOffset + slot.slot.areaOffset,
                          StampArea(slot, campaign));

    // Before the first byte goes out: the launcher reads this campaign from the copy.
    const host::Expected<SlotReport> after = ReadSlot(stamped);
    if (!after) return host::Unexpected{"cannot read the package: " + after.error()};
    if (!after->launcherReadsStamp || after->stampedCampaign != campaign) {
        return host::Unexpected{
            "the launcher would not read the stamp from the stamped copy; nothing written"};
    }
    // As it goes out: the bytes the signature covers, digested as the copy is written.
    const std::unique_ptr<RangeDigest> digest =
        AuthenticodeDigest(before, before.signature.algorithm);
    if (!digest) {
        return host::Unexpected{"the package's headers name no certificate table; nothing written"};
    }
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<std::uint8_t> buffer(kChunk);
    std::uint64_t offset = 0;
    while (offset < stamped.Size()) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, stamped.Size() - offset));
        const host::Expected<bool> all = host::ReadExactly(stamped, offset, buffer.data(), want);
        if (!all || !*all) {
            return host::Unexpected{"cannot read the package: " +
                                    (all ? std::string("it shrank") : all.error())};
        }
        digest->Feed(offset, buffer.data(), want);
        if (host::Status sent = sink(buffer.data(), want); !sent) return sent;
        offset += want;
    }
    if (offset != before.fileSize || digest->Finish() != before.signature.fileDigest) {
        return host::Unexpected{
            "the stamped copy's length or Authenticode digest differs from the package's "
            "(it changed while it was read?); the copy is not valid"};
    }
    return {};
}

host::Expected<std::size_t> PatchedSource::ReadAt(std::uint64_t offset, void* buffer,
                                                  std::size_t size) {
    const host::Expected<std::size_t> read = base_.ReadAt(offset, buffer, size);
    if (!read) return read;
    const std::size_t got = *read;
    // The patch's part of [offset, offset + got).
    const std::uint64_t from = std::max(offset, offset_);
    const std::uint64_t to = std::min(offset + got, offset_ + bytes_.size());
    if (from < to) {
        // At most `got` bytes.
        std::memcpy(static_cast<std::uint8_t*>(buffer) + (from - offset),
                    bytes_.data() + (from - offset_), static_cast<std::size_t>(to - from));
    }
    return got;
}

}  // namespace wrapper::tools::package
