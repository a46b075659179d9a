// Fuzz target: the hand-off after a successful install, on the fake platform. Arbitrary
// bytes become the four trailer text fields (260 bytes each, terminated or not) and the
// application's LANGUAGE value; one byte picks the machine.
//
// Input: byte 0 the knobs, bytes 1-1040 the fields in trailer order (zero-padded when the
// input is shorter), the rest the LANGUAGE value in cfg.ini.
//   bit 0     the machine's ANSI code page is UTF-8 (else 1252)
//   bits 1-3  the registered installation directory: 0 a plain one, 1 the longest one of
//             two-byte UTF-8 characters, 2 the longest one of three-byte characters,
//             3 stored without a terminator, 4 empty, 5 not registered at all, 6 one unit
//             longer than the query allows, 7 with a zero inside
//   bit 4     no cfg.ini
//
// Invariants (besides the sanitizers' watch on every buffer): the split keeps its pieces
// inside the text and agrees with a model of the splitting rule; appends stay within their
// capacity and terminated; the installation directory is the registered folder as it is,
// up to its first zero, and Version.ini lands there; the language
// segment is one of the four; at most one URL is opened, exactly the one the rule gives;
// the uninstall key is closed once the hand-off is over.

#include "FakePlatform.h"
#include "FuzzSupport.h"
#include "handoff/HandOffRecord.h"
#include "handoff/LandingPage.h"
#include "handoff/TextHelpers.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace handoff = wrapper::handoff;
namespace package = wrapper::package;
using wrapper::TextView;
using wrapper::fake::FakePlatform;

// The splitting rule, written plainly: the non-empty runs between whole occurrences of
// the delimiter, left to right; a text without one is itself and an empty piece.
std::vector<std::string> ModelSplit(const std::string& text, const std::string& delimiter) {
    std::vector<std::string> pieces;
    std::string run;
    bool found = false;
    for (std::size_t at = 0; at < text.size();) {
        if (text.compare(at, delimiter.size(), delimiter) == 0) {
            found = true;
            if (!run.empty()) pieces.push_back(run);
            run.clear();
            at += delimiter.size();
        } else {
            run += text[at++];
        }
    }
    if (!found) return {text, ""};
    if (!run.empty()) pieces.push_back(run);
    return pieces;
}

std::string ModelPiece(const std::vector<std::string>& pieces, std::size_t index) {
    return index < pieces.size() ? pieces[index] : std::string();
}

std::string ToString(TextView view) { return std::string(view.data, view.length); }

bool Inside(TextView piece, TextView text) {
    if (piece.length == 0) return true;
    return piece.data >= text.data && piece.data + piece.length <= text.data + text.length;
}

void CheckSplit(TextView text, const char* delimiter) {
    const handoff::SplitPieces pieces = handoff::SplitByDelimiter(text, delimiter);
    const std::vector<std::string> model = ModelSplit(ToString(text), delimiter);
    FUZZ_CHECK(pieces.count == model.size());
    for (std::uint32_t i = 0; i < handoff::kKeptPieces; ++i) {
        FUZZ_CHECK(Inside(pieces.Piece(i), text));
        FUZZ_CHECK(ToString(pieces.Piece(i)) == ModelPiece(model, i));
    }
}

// Appends every field in turn to a buffer that holds some but not all of them.
void CheckAppends(const package::TrailerFields& fields) {
    constexpr std::uint32_t kCapacity = 300;
    char buffer[kCapacity + 1];
    std::memset(buffer, 0x7f, sizeof buffer);
    buffer[0] = '\0';
    std::uint32_t length = 0;
    for (std::uint32_t i = 0; i < package::kFieldCount; ++i) {
        const auto view = package::FieldText(fields, static_cast<package::Field>(i));
        FUZZ_CHECK(view.length <= package::kFieldSize);
        const std::uint32_t before = length;
        const bool fits = before + view.length < kCapacity;
        FUZZ_CHECK(handoff::AppendText(buffer, kCapacity, length, view) == fits);
        FUZZ_CHECK(length == (fits ? before + view.length : before));
        FUZZ_CHECK(buffer[length] == '\0');
        FUZZ_CHECK(std::memcmp(buffer + before, view.data, length - before) == 0);
    }
    FUZZ_CHECK(buffer[kCapacity] == 0x7f);
}

std::u16string InstallDirVariant(std::uint32_t variant, bool& registered, bool& terminated) {
    registered = variant != 5;
    terminated = variant != 3;
    switch (variant) {
        // Three units of "C:\" and these make 259, the longest the query reads.
        case 1: return u"C:\\" + std::u16string(handoff::kValueUnits - 5, u'\u00e9');
        case 2: return u"C:\\" + std::u16string(handoff::kValueUnits - 5, u'\u4e00');
        case 4: return u"";
        case 6: return u"C:\\" + std::u16string(handoff::kValueUnits - 4, u'x');
        case 7: return std::u16string(u"C:\\A\0B", 6);
        default: return u"C:\\Program Files\\Product";
    }
}

// What cfg.ini's reader gives for a value written on one line: the value itself, cut to
// the buffer, when it has no line breaks, zeros or surrounding blanks to lose on the way.
bool PlainIniValue(const std::string& value) {
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    return value.empty() || (value.front() != ' ' && value.front() != '\t' &&
                             value.back() != ' ' && value.back() != '\t');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t knobs = size > 0 ? data[0] : 0;
    package::TrailerFields fields = {};
    const std::size_t fieldBytes = size > 1 ? std::min<std::size_t>(size - 1, package::kFieldsSize) : 0;
    if (fieldBytes > 0) std::memcpy(fields.bytes, data + 1, fieldBytes);
    const std::size_t languageAt = 1 + package::kFieldsSize;
    const std::string language = size > languageAt
                                     ? std::string(reinterpret_cast<const char*>(data) + languageAt,
                                                   size - languageAt)
                                     : std::string();

    for (std::uint32_t i = 0; i < package::kFieldCount; ++i) {
        const auto view = package::FieldText(fields, static_cast<package::Field>(i));
        CheckSplit(view, "%1");
        CheckSplit(view, "\\");
        CheckSplit(view, ".");
    }
    CheckAppends(fields);

    FakePlatform machine;
    machine.codePages.utf8 = (knobs & 1) != 0;
    bool registered = false;
    bool terminated = false;
    const std::uint32_t variant = (knobs >> 1) & 7u;
    const std::u16string dir = InstallDirVariant(variant, registered, terminated);
    if (registered) {
        machine.registry.SetString(handoff::kUninstallKey, handoff::kAppPathValue, dir, terminated);
    }

    char16_t installDir[handoff::kInstallDirCapacity];
    std::fill(std::begin(installDir), std::end(installDir), u'\x7f7f');
    bool found = false;
    {
        const wrapper::platform::UniqueKey key = handoff::OpenUninstallKey(machine.registry);
        FUZZ_CHECK(static_cast<bool>(key) == registered);
        found = key && handoff::ReadInstallDir(machine.registry, key.Get(), installDir);
        if (found) handoff::WriteHandOffRecord(machine.profiles, fields, installDir);
        FUZZ_CHECK(machine.registry.OpenKeys() == (key ? 1u : 0u));
    }
    FUZZ_CHECK(machine.registry.OpenKeys() == 0u);
    FUZZ_CHECK(found == (variant != 4 && variant != 5 && variant != 6));
    if (!found) {
        FUZZ_CHECK(machine.files.Paths().empty());
        return 0;
    }
    // The folder as registered, up to its first zero, whatever the code page.
    const auto end = std::find(std::begin(installDir), std::end(installDir), u'\0');
    FUZZ_CHECK(end != std::end(installDir) && end != std::begin(installDir));
    const std::u16string folder(std::begin(installDir), end);
    FUZZ_CHECK(folder == dir.substr(0, dir.find(u'\0')));
    FUZZ_CHECK(machine.files.Exists(folder + u"\\Version.ini"));

    if ((knobs & 16) == 0) {
        machine.files.WriteText(folder + u"\\cfg.ini",
                                "[Language]\r\nLANGUAGE=" + language + "\r\n");
    }
    const char* segment = handoff::ReadLanguageSegment(machine.profiles, installDir);
    FUZZ_CHECK(segment != nullptr);
    const std::string segmentText = segment;
    FUZZ_CHECK(segmentText.empty() || segmentText == "\\fr" || segmentText == "\\de" ||
               segmentText == "\\jp");
    if ((knobs & 16) != 0) {
        FUZZ_CHECK(segmentText.empty());
    } else if (!machine.codePages.utf8 && PlainIniValue(language)) {
        // 1252 gives every byte back as it was, so the value is the one written.
        const std::string value = language.substr(0, handoff::kLanguageValueSize - 1);
        const std::string code = ModelPiece(ModelSplit(ModelPiece(ModelSplit(value, "\\"), 1), "."), 0);
        const bool localized = code == "fr" || code == "de" || code == "jp";
        FUZZ_CHECK(segmentText == (localized ? "\\" + code : std::string()));
    }

    handoff::OpenLandingPage(machine.shell, machine.codePages, fields, segment);
    FUZZ_CHECK(machine.shell.opened.size() <= 1);
    for (const std::u16string& url : machine.shell.opened) {
        FUZZ_CHECK(!url.empty() && url.size() < handoff::kLandingUrlCapacity);
    }
    if (!machine.codePages.utf8) {
        // 1252: every byte is one unit, so the URL is the rule's text, converted.
        const auto landing = ModelSplit(ToString(package::FieldText(fields, package::Field::LandingTemplate)), "%1");
        const std::string url = ModelPiece(landing, 0) + segmentText + ModelPiece(landing, 1) +
                                ToString(package::FieldText(fields, package::Field::CampaignQuery));
        FUZZ_CHECK(machine.shell.opened.size() == (url.empty() ? 0u : 1u));
        if (!url.empty()) FUZZ_CHECK(machine.shell.opened.front() == machine.codePages.Widen(url));
    }

    return 0;
}
