#include "tools/package/ResultCodeText.h"

#include "ResultCode.h"

namespace wrapper::tools::package {

namespace {

struct CodeText {
    const char* name;
    const char* meaning;
};

constexpr CodeText kCodes[] = {
    {"kSuccess", "the trailer was read and the whole payload copied"},
    {"kOpenOwnFileFailed", "the launcher could not open its own file"},
    {"kSeekNearEndFailed", "the file is shorter than the 32-byte marker"},
    {"kQueryMarkerEndFailed", "the position just past the marker could not be queried"},
    {"kSeekFieldsFailed",
     "the marker ends fewer than 1072 bytes into the file, leaving no room for the text fields"},
    {"kReadLinkTemplateFailed", "LinkTemplate could not be read in full"},
    {"kReadCampaignQueryFailed", "CampaignQuery could not be read in full"},
    {"kReadLandingTemplateFailed", "LandingTemplate could not be read in full"},
    {"kReadUninstallTemplateFailed", "UninstallTemplate could not be read in full"},
    {"kQueryFieldsEndFailed", "the position after the text fields could not be queried"},
    {"kSeekPayloadSizeFailed",
     "the marker ends fewer than 1080 bytes into the file, leaving no room for PayloadSize"},
    {"kReadPayloadSizeFailed", "PayloadSize could not be read"},
    {"kQueryPayloadSizeEndFailed", "the position after PayloadSize could not be queried"},
    {"kSeekPayloadFailed",
     "PayloadSize is larger than the trailer's offset: the payload would start before the file"},
    {"kTempDirectoryFailed",
     "no usable temporary directory for the extracted installer (none, or one that makes its "
     "path 260 units or longer, from which no program can be started)"},
    {"kScanSeekOrCreateFailed",
     "no trailer marker in the file (or a move during the search failed); during extraction: "
     "the installer file could not be created"},
    {"kScanReadOrCopyFailed",
     "a read failed during the marker search; during extraction: the payload could not be "
     "copied in full"},
};
static_assert(sizeof kCodes / sizeof kCodes[0] == wrapper::kScanReadOrCopyFailed + 1);

}  // namespace

const char* ResultCodeName(std::uint32_t code) {
    return code < sizeof kCodes / sizeof kCodes[0] ? kCodes[code].name : "unknown";
}

const char* ResultCodeMeaning(std::uint32_t code) {
    return code < sizeof kCodes / sizeof kCodes[0] ? kCodes[code].meaning : "unknown result code";
}

}  // namespace wrapper::tools::package
