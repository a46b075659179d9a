#include "package/TrailerReader.h"

#include "package/TrailerLocator.h"

namespace wrapper::package {

using platform::SeekOrigin;

namespace {

bool ReadExactly(platform::Files& files, platform::FileHandle file, void* buffer,
                 std::uint32_t size) {
    std::uint32_t got = 0;
    return files.Read(file, buffer, size, &got) && got == size;
}

}  // namespace

ResultCode ReadTrailer(platform::Files& files, platform::FileHandle file, TrailerFields& fields,
                       std::uint64_t& payloadSize) {
    std::int64_t markerEnd = 0;
    if (!files.Seek(file, 0, SeekOrigin::Current, &markerEnd)) return kQueryMarkerEndFailed;
    if (!files.Seek(file, markerEnd - (kTrailerSize - kFieldsOffset), SeekOrigin::Begin, nullptr)) {
        return kSeekFieldsFailed;
    }
    // Each field's failure has its own code, in field order.
    static_assert(kReadCampaignQueryFailed == kReadLinkTemplateFailed + 1 &&
                  kReadLandingTemplateFailed == kReadLinkTemplateFailed + 2 &&
                  kReadUninstallTemplateFailed == kReadLinkTemplateFailed + 3 && kFieldCount == 4);
    for (std::uint32_t i = 0; i < kFieldCount; ++i) {
        if (!ReadExactly(files, file, fields.bytes[i], kFieldSize)) {
            return static_cast<ResultCode>(kReadLinkTemplateFailed + i);
        }
    }

    std::int64_t fieldsEnd = 0;
    if (!files.Seek(file, 0, SeekOrigin::Current, &fieldsEnd)) return kQueryFieldsEndFailed;
    if (!files.Seek(file, fieldsEnd - kMarkerOffset, SeekOrigin::Begin, nullptr)) {
        return kSeekPayloadSizeFailed;
    }
    unsigned char sizeBytes[kPayloadSizeLength] = {};
    if (!ReadExactly(files, file, sizeBytes, kPayloadSizeLength)) return kReadPayloadSizeFailed;
    payloadSize = 0;
    for (std::uint32_t i = kPayloadSizeLength; i-- > 0;) {
        payloadSize = (payloadSize << 8) | sizeBytes[i];
    }

    std::int64_t sizeEnd = 0;
    if (!files.Seek(file, 0, SeekOrigin::Current, &sizeEnd)) return kQueryPayloadSizeEndFailed;
    // Compared unsigned so that sizes which would wrap a 64-bit position are refused too.
    const std::int64_t trailerStart = sizeEnd - kPayloadSizeLength;
    if (trailerStart < 0 || payloadSize > static_cast<std::uint64_t>(trailerStart)) {
        return kSeekPayloadFailed;
    }
    if (!files.Seek(file, trailerStart - static_cast<std::int64_t>(payloadSize), SeekOrigin::Begin,
                    nullptr)) {
        return kSeekPayloadFailed;
    }
    return kSuccess;
}

ResultCode LocateAndReadTrailer(platform::Files& files, platform::FileHandle file,
                                TrailerFields& fields, std::uint64_t& payloadSize) {
    const ResultCode located = LocateTrailer(files, file);
    return located == kSuccess ? ReadTrailer(files, file, fields, payloadSize) : located;
}

}  // namespace wrapper::package
