#include "package/PayloadExtractor.h"

#include "WideText.h"

namespace wrapper::package {

std::uint32_t DrawTempNumber(std::uint32_t seed) {
    const std::uint32_t state = seed * 214013u + 2531011u;
    return (state >> 16) & 0x7fffu;
}

namespace {

// A path with the \\?\ prefix, which the system takes literally: no separators are merged,
// so a doubled one names no file. A path the system gives that starts with \\? has it.
bool IsLiteralPath(const char16_t* path) { return path[0] == u'\\' && path[2] == u'?'; }

}  // namespace

bool FormatTempInstallerPath(const char16_t* directory, std::uint32_t number,
                             char16_t (&path)[kPathCapacity]) {
    // Room for any 32-bit number (10 digits) and the terminator.
    char16_t digits[11] = {};
    char16_t reversed[10];
    std::uint32_t count = 0;
    do {
        reversed[count++] = static_cast<char16_t>(u'0' + number % 10);
        number /= 10;
    } while (number != 0);
    for (std::uint32_t i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];

    // The path buffer holds more, but a program is never started from a longer path.
    constexpr std::uint32_t kCapacity = kMaxStartablePathLength + 1;
    std::uint32_t length = 0;
    path[0] = u'\0';
    if (AppendWide(path, kCapacity, length, directory) &&
        AppendWide(path, kCapacity, length,
                   IsLiteralPath(path) && path[length - 1] == u'\\' ? u"Zorvik" : u"\\Zorvik") &&
        AppendWide(path, kCapacity, length, digits) &&
        AppendWide(path, kCapacity, length, u".exe")) {
        return true;
    }
    path[0] = u'\0';
    return false;
}

ResultCode ChooseInstallerPath(platform::Files& files, platform::Clock& clock,
                               char16_t (&path)[kPathCapacity]) {
    path[0] = u'\0';
    char16_t directory[kPathCapacity] = {};
    const std::uint32_t directoryLength = files.GetTempDirectory(directory, kPathCapacity);
    // A result of the capacity or more is the size the system would need, not a path.
    if (directoryLength == 0 || directoryLength >= kPathCapacity) return kTempDirectoryFailed;

    const auto seed = static_cast<std::uint32_t>(clock.SecondsSince1970());
    if (!FormatTempInstallerPath(directory, DrawTempNumber(seed), path)) {
        return kTempDirectoryFailed;
    }
    return kSuccess;
}

ResultCode CopyPayload(platform::Files& files, platform::FileHandle from,
                       std::uint64_t payloadSize, platform::FileHandle to) {
    // Static: in the image's zero-filled data, which costs no file bytes, and off the
    // stack, which would need probing page by page.
    static unsigned char buffer[kCopyBufferSize];
    std::uint64_t remaining = payloadSize;
    while (remaining > 0) {
        const auto ask = static_cast<std::uint32_t>(remaining < kCopyBufferSize ? remaining
                                                                                : kCopyBufferSize);
        std::uint32_t got = 0;
        // A payload that ends early is a broken copy, never an installer to start.
        if (!files.Read(from, buffer, ask, &got) || got == 0 || got > ask) {
            return kPayloadCopyFailed;
        }
        std::uint32_t written = 0;
        if (!files.Write(to, buffer, got, &written) || written != got) return kPayloadCopyFailed;
        remaining -= got;
    }
    return kSuccess;
}

ResultCode ExtractPayload(platform::Files& files, platform::Clock& clock,
                          platform::FileHandle ownFile, std::uint64_t payloadSize,
                          char16_t (&tempInstallerPath)[kPathCapacity], bool& createdInstaller,
                          platform::FileIdentity& identity) {
    createdInstaller = false;
    const ResultCode chosen = ChooseInstallerPath(files, clock, tempInstallerPath);
    if (chosen != kSuccess) return chosen;

    platform::UniqueFile installer(files, files.CreateNew(tempInstallerPath));
    if (!installer) return kInstallerCreateFailed;
    createdInstaller = true;
    const ResultCode result = files.GetIdentity(installer.Get(), &identity)
                                  ? CopyPayload(files, ownFile, payloadSize, installer.Get())
                                  : kInstallerCreateFailed;
    // A copy that failed is never started: it goes through the handle that wrote it, which
    // is certainly this run's file, as the handle closes.
    if (result != kSuccess) files.DeleteOpened(installer.Get());
    return result;
}

}  // namespace wrapper::package
