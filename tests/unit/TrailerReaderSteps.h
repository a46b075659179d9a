#pragma once

// The trailer reader's calls, in order, and the code a failure of each gives. The table
// belongs to the reader, whose test checks every row; the tests of a whole run take the
// reader's part of it from here instead of restating it.

#include "FakeFiles.h"
#include "ResultCode.h"
#include "package/PackageTrailer.h"

#include <cstdint>

namespace wrapper::testing {

struct ReaderStep {
    fake::Call call;     // Seek or Read
    std::uint32_t nth;   // which of the reader's own calls of that kind, from 1
    const char* what;
    ResultCode code;     // when it fails; a read that comes back short gives the same
    std::uint32_t size;  // bytes a read asks for; 0 for a seek
};

inline constexpr ReaderStep kReaderSteps[] = {
    {fake::Call::Seek, 1, "query just past the marker", kQueryMarkerEndFailed, 0},
    {fake::Call::Seek, 2, "seek to the fields", kSeekFieldsFailed, 0},
    {fake::Call::Read, 1, "LinkTemplate", kReadLinkTemplateFailed, package::kFieldSize},
    {fake::Call::Read, 2, "CampaignQuery", kReadCampaignQueryFailed, package::kFieldSize},
    {fake::Call::Read, 3, "LandingTemplate", kReadLandingTemplateFailed, package::kFieldSize},
    {fake::Call::Read, 4, "UninstallTemplate", kReadUninstallTemplateFailed, package::kFieldSize},
    {fake::Call::Seek, 3, "query after the fields", kQueryFieldsEndFailed, 0},
    {fake::Call::Seek, 4, "seek to PayloadSize", kSeekPayloadSizeFailed, 0},
    {fake::Call::Read, 5, "PayloadSize", kReadPayloadSizeFailed, package::kPayloadSizeLength},
    {fake::Call::Seek, 5, "query after PayloadSize", kQueryPayloadSizeEndFailed, 0},
    {fake::Call::Seek, 6, "seek to the payload", kSeekPayloadFailed, 0},
};

}  // namespace wrapper::testing
