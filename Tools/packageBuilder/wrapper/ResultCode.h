#pragma once

#include <cstdint>

namespace wrapper {

// The launcher's process exit code. The numbers are frozen: package producers and
// support scripts read them, so a value never changes meaning and is never reused.
// Codes 15 and 16 each have two sources (backward scan and extraction); the code
// alone does not tell them apart.
enum ResultCode : std::uint32_t {
    kSuccess = 0,                 // trailer read and the whole payload copied
    kOpenOwnFileFailed = 1,       // the launcher's own file could not be opened
    kSeekNearEndFailed = 2,       // seek to 32 bytes before the end failed (file too short)
    kQueryMarkerEndFailed = 3,    // position query just past the marker failed
    kSeekFieldsFailed = 4,        // seek to the first trailer field failed
    kReadLinkTemplateFailed = 5,  // LinkTemplate read failed or was short
    kReadCampaignQueryFailed = 6,
    kReadLandingTemplateFailed = 7,
    kReadUninstallTemplateFailed = 8,
    kQueryFieldsEndFailed = 9,    // position query after the fields failed
    kSeekPayloadSizeFailed = 10,  // seek to PayloadSize failed
    kReadPayloadSizeFailed = 11,  // PayloadSize read failed or was short
    kQueryPayloadSizeEndFailed = 12,
    kSeekPayloadFailed = 13,      // seek to the payload's first byte failed, or PayloadSize too large
    kTempDirectoryFailed = 14,    // no usable temporary directory
    kScanSeekOrCreateFailed = 15, // scan: position query/seek failed or no marker; extraction: create failed
    kScanReadOrCopyFailed = 16,   // scan: a read failed or was short; extraction: copy failed

    // The same two numbers under the names extraction gives them.
    kInstallerCreateFailed = kScanSeekOrCreateFailed,  // the installer's file not created
    kPayloadCopyFailed = kScanReadOrCopyFailed,        // reading or writing the copy failed
};

}  // namespace wrapper
