#include "tools/package/HandOffPreview.h"

#include "handoff/HandOffRecord.h"
#include "handoff/LandingPage.h"
#include "platform/CodePages.h"
#include "platform/ProfileFiles.h"
#include "platform/Registry.h"
#include "platform/Shell.h"

#include <algorithm>
#include <cstring>

namespace wrapper::tools::package {

namespace {

namespace platform = wrapper::platform;

// A machine on which the product is installed in kInstallDir and the application's language
// value is whatever the rehearsal sets. Its code page maps each byte to the UTF-16 unit of
// the same value and back, so no byte of a field is lost or changed on the way to the shell.
class StandInMachine final : public platform::Registry,
                             public platform::ProfileFiles,
                             public platform::Shell,
                             public platform::CodePages {
public:
    static constexpr char16_t kInstallDir[] = u"C:\\Program Files\\Product";

    std::string languageValue;
    std::vector<VersionIniRow> written;
    std::optional<std::string> opened;

    bool OpenLocalMachineKey(const char16_t*, platform::KeyHandle* key) override {
        *key = {1};
        return true;
    }
    bool QueryValue(platform::KeyHandle, const char16_t*, void* data,
                    std::uint32_t* sizeInBytes) override {
        if (*sizeInBytes < sizeof kInstallDir) return false;
        std::memcpy(data, kInstallDir, sizeof kInstallDir);
        *sizeInBytes = sizeof kInstallDir;
        return true;
    }
    void CloseKey(platform::KeyHandle) override {}

    bool WriteString(const char16_t* section, const char16_t* key, const char* value,
                     const char16_t*) override {
        written.push_back({Ascii(section), Ascii(key), value});
        return true;
    }
    std::uint32_t ReadString(const char16_t*, const char16_t*, char* buffer, std::uint32_t size,
                             const char16_t*) override {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::size_t>(languageValue.size(), size - 1));
        std::memcpy(buffer, languageValue.data(), length);
        buffer[length] = '\0';
        return length;
    }

    bool BeginCom() override { return true; }
    void EndCom() override {}
    bool OpenUrlAsDesktopUser(const char16_t* url) override {
        OpenUrl(url);
        return true;
    }
    void OpenUrl(const char16_t* url) override {
        std::string bytes;
        for (const char16_t* p = url; *p != u'\0'; ++p) bytes += static_cast<char>(*p);
        opened = bytes;
    }

    static std::string Ascii(const char16_t* text) {
        std::string ascii;
        for (const char16_t* p = text; *p != u'\0'; ++p) ascii += static_cast<char>(*p);
        return ascii;
    }

    std::uint32_t AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                             std::uint32_t capacity) override {
        if (capacity == 0) return length;
        if (length > capacity) return 0;
        for (std::uint32_t i = 0; i < length; ++i) {
            out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
        }
        return length;
    }
};

}  // namespace

HandOffValues PreviewHandOff(const wrapper::package::TrailerFields& fields) {
    HandOffValues values;
    for (std::size_t i = 0; i < kLanguages.size(); ++i) {
        StandInMachine machine;
        // The application's own form of the value: folder, code, extension.
        if (!kLanguages[i].empty())
            machine.languageValue = "lang\\" + std::string(kLanguages[i]) + ".ini";
        // The launcher's hand-off, step by step; the product is always installed here.
        const platform::UniqueKey key = wrapper::handoff::OpenUninstallKey(machine);
        char16_t installDir[wrapper::handoff::kInstallDirCapacity] = {};
        if (!key || !wrapper::handoff::ReadInstallDir(machine, key.Get(), installDir)) continue;
        wrapper::handoff::WriteHandOffRecord(machine, fields, installDir);
        const char* segment = wrapper::handoff::ReadLanguageSegment(machine, installDir);
        wrapper::handoff::OpenLandingPage(machine, machine, fields, segment);
        values.landingUrl[i] = machine.opened;
        if (i == 0) values.versionIni = machine.written;
    }
    for (const VersionIniRow& row : values.versionIni) {
        if (row.section != "UNINSTALL") continue;
        if (row.key == "url") values.uninstallUrl = row.value;
        if (row.key == "param") values.uninstallParam = row.value;
    }
    return values;
}

}  // namespace wrapper::tools::package
