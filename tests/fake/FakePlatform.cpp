#include "FakePlatform.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace wrapper::fake {

namespace {

std::u16string Text(const char16_t* text) { return text == nullptr ? u"" : std::u16string(text); }

char16_t From1252(unsigned char byte);

// Section and key names, as 1252 spells them, compared without regard to case.
bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto fold = [](char c) {
                   return FoldCase(From1252(static_cast<unsigned char>(c)));
               };
               return fold(x) == fold(y);
           });
}

// The system drops one pair of matching quotes, single or double, around a value it reads.
std::string WithoutQuotes(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool IsSection(const std::string& line, std::string* name) {
    const std::string trimmed = Trim(line);
    if (trimmed.size() < 2 || trimmed.front() != '[') return false;
    const auto close = trimmed.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(trimmed.substr(1, close - 1));
    return true;
}

bool IsKey(const std::string& line, const std::string& key, std::string* value) {
    const auto equals = line.find('=');
    if (equals == std::string::npos || !SameIgnoringCase(Trim(line.substr(0, equals)), key)) return false;
    *value = Trim(line.substr(equals + 1));
    return true;
}

}  // namespace

bool FakeProcesses::Start(const char16_t* applicationName, char16_t* commandLine,
                          platform::ProcessHandle* process) {
    if (log_.Record(Call::StartProcess)) return false;
    const std::u16string program = Text(applicationName);
    // Like the system: no program file, no process.
    if (program.empty() || !files_.Exists(program)) return false;
    if (!files_.StartProgram(program)) return false;
    StartedProcess record{program, Text(commandLine), files_.Bytes(program)};
    started.push_back(record);
    const std::uintptr_t handle = nextHandle_++;
    exitCodes_[handle] = onStart(record);
    files_.StopProgram(program);
    process->value = handle;
    return true;
}

bool FakeProcesses::WaitForExit(platform::ProcessHandle process) {
    if (log_.Record(Call::WaitForExit)) return false;
    return exitCodes_.count(process.value) != 0;
}

bool FakeProcesses::GetExitCode(platform::ProcessHandle process, std::uint32_t* exitCode) {
    if (log_.Record(Call::GetExitCode)) return false;
    const auto it = exitCodes_.find(process.value);
    if (it == exitCodes_.end()) return false;
    *exitCode = it->second;
    return true;
}

void FakeProcesses::Close(platform::ProcessHandle process) {
    log_.Record(Call::CloseProcess);
    if (exitCodes_.erase(process.value) == 0) throw std::logic_error("closing a process that is not open");
}

void FakeRegistry::SetString(const std::u16string& subKey, const std::u16string& name,
                             const std::u16string& value, bool terminated) {
    std::vector<std::uint8_t> bytes(value.size() * 2 + (terminated ? 2 : 0), 0);
    std::memcpy(bytes.data(), value.data(), value.size() * 2);
    keys_[FakeFiles::Normalize(subKey)][FakeFiles::Normalize(name)] = bytes;
}

bool FakeRegistry::OpenLocalMachineKey(const char16_t* subKey, platform::KeyHandle* key) {
    if (log_.Record(Call::OpenKey)) return false;
    const std::u16string normalized = FakeFiles::Normalize(Text(subKey));
    if (keys_.count(normalized) == 0) return false;
    const std::uintptr_t handle = nextHandle_++;
    open_[handle] = normalized;
    key->value = handle;
    return true;
}

bool FakeRegistry::QueryValue(platform::KeyHandle key, const char16_t* name, void* data,
                              std::uint32_t* sizeInBytes) {
    if (log_.Record(Call::QueryValue)) return false;
    const auto open = open_.find(key.value);
    if (open == open_.end()) return false;
    const auto& values = keys_.at(open->second);
    const auto value = values.find(FakeFiles::Normalize(Text(name)));
    if (value == values.end()) return false;
    // Like the system: a value larger than the declared buffer fails as "more data".
    if (value->second.size() > *sizeInBytes) return false;
    // The declared buffer past the value holds nothing a reader may rely on; filling it
    // shows up a reader that looks past the size returned.
    std::memset(data, 0xff, *sizeInBytes);
    std::memcpy(data, value->second.data(), value->second.size());
    *sizeInBytes = static_cast<std::uint32_t>(value->second.size());
    return true;
}

void FakeRegistry::CloseKey(platform::KeyHandle key) {
    log_.Record(Call::CloseKey);
    if (open_.erase(key.value) == 0) throw std::logic_error("closing a key that is not open");
}

namespace {

std::string Ascii(const char16_t* text) {
    std::string ascii;
    for (const char16_t* p = text; *p != u'\0'; ++p) ascii.push_back(static_cast<char>(*p));
    return ascii;
}

}  // namespace

bool FakeProfileFiles::WriteString(const char16_t* section, const char16_t* key,
                                   const char* value, const char16_t* path) {
    if (log_.Record(Call::WriteProfileString)) return false;
    const std::u16string file = Text(path);
    std::vector<std::string> lines = Lines(files_.ReadText(file));
    const std::string sectionName = Ascii(section);
    const std::string keyName = Ascii(key);
    // Into UTF-16 on the platform's side, out of it again as the file's bytes.
    const std::string entry = keyName + "=" + codePages_.Narrow(codePages_.Widen(value));

    std::string name;
    std::size_t sectionLine = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (IsSection(lines[i], &name) && SameIgnoringCase(name, sectionName)) {
            sectionLine = i;
            break;
        }
    }
    if (sectionLine == lines.size()) {
        lines.push_back("[" + sectionName + "]");
        lines.push_back(entry);
    } else {
        std::size_t insertAt = sectionLine + 1;
        std::string existing;
        bool replaced = false;
        for (std::size_t i = sectionLine + 1; i < lines.size() && !IsSection(lines[i], &name); ++i) {
            if (IsKey(lines[i], keyName, &existing)) {
                lines[i] = entry;
                replaced = true;
                break;
            }
            if (!Trim(lines[i]).empty()) insertAt = i + 1;
        }
        if (!replaced) lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    }
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    files_.WriteText(file, text);
    return true;
}

std::uint32_t FakeProfileFiles::ReadString(const char16_t* section, const char16_t* key,
                                           char* buffer, std::uint32_t size,
                                           const char16_t* path) {
    std::string value;
    if (!log_.Record(Call::ReadProfileString)) {
        bool inSection = false;
        std::string name;
        for (const auto& line : Lines(files_.ReadText(Text(path)))) {
            if (IsSection(line, &name)) {
                inSection = SameIgnoringCase(name, Ascii(section));
            } else if (inSection && IsKey(line, Ascii(key), &value)) {
                value = WithoutQuotes(value);
                break;
            }
        }
    }
    if (size == 0) return 0;
    // The system's wide function cuts the value to size - 1 units; the platform turns them
    // back into ANSI text and cuts that to size - 1 bytes.
    std::u16string wide = codePages_.Widen(value);
    if (wide.size() > size - 1) wide.resize(size - 1);
    std::string ansi = codePages_.Narrow(wide);
    if (ansi.size() > size - 1) ansi.resize(size - 1);
    std::memcpy(buffer, ansi.data(), ansi.size());
    buffer[ansi.size()] = '\0';
    return static_cast<std::uint32_t>(ansi.size());
}

bool FakeShell::BeginCom() {
    if (log_.Record(Call::BeginCom)) return false;
    ++comDepth;
    return true;
}

void FakeShell::EndCom() {
    log_.Record(Call::EndCom);
    if (comDepth == 0) throw std::logic_error("ending COM that was not begun");
    --comDepth;
}

bool FakeShell::OpenUrlAsDesktopUser(const char16_t* url) {
    if (log_.Record(Call::OpenUrlAsDesktopUser) || comDepth == 0 || !desktopShell) return false;
    opened.push_back(Text(url));
    routes.push_back(Route::DesktopShell);
    return true;
}

void FakeShell::OpenUrl(const char16_t* url) {
    if (log_.Record(Call::OpenUrl)) return;
    opened.push_back(Text(url));
    routes.push_back(Route::Launcher);
}

namespace {

// Writes the UTF-8 bytes of one unit to `out`; returns their count.
std::uint32_t EncodeUtf8(char16_t unit, char (&out)[3]) {
    if (unit < 0x80) {
        out[0] = static_cast<char>(unit);
        return 1;
    }
    if (unit < 0x800) {
        out[0] = static_cast<char>(0xc0 | (unit >> 6));
        out[1] = static_cast<char>(0x80 | (unit & 0x3f));
        return 2;
    }
    out[0] = static_cast<char>(0xe0 | (unit >> 12));
    out[1] = static_cast<char>(0x80 | ((unit >> 6) & 0x3f));
    out[2] = static_cast<char>(0x80 | (unit & 0x3f));
    return 3;
}

// Decodes one sequence at `text` (at most `length` bytes); `used` receives its bytes.
char16_t DecodeUtf8(const unsigned char* text, std::uint32_t length, std::uint32_t* used) {
    const auto continuation = [&](std::uint32_t i) { return i < length && (text[i] & 0xc0) == 0x80; };
    if (text[0] < 0x80) {
        *used = 1;
        return text[0];
    }
    if ((text[0] & 0xe0) == 0xc0 && continuation(1)) {
        *used = 2;
        return static_cast<char16_t>(((text[0] & 0x1f) << 6) | (text[1] & 0x3f));
    }
    if ((text[0] & 0xf0) == 0xe0 && continuation(1) && continuation(2)) {
        *used = 3;
        return static_cast<char16_t>(((text[0] & 0x0f) << 12) | ((text[1] & 0x3f) << 6) |
                                     (text[2] & 0x3f));
    }
    *used = 1;
    return u'\ufffd';
}

}  // namespace

namespace {

// Windows-1252's characters for bytes 0x80-0x9F. The five bytes it leaves undefined stand
// for the C1 control of the same value.
constexpr char16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The system's best fit for U+0100-U+017F (Latin Extended-A): the letter without its mark;
// "?" where it has none, or where 1252 spells the letter itself (Œ, Š, Ÿ, Ž and their
// small forms, found in k1252High first).
constexpr char kLatinExtendedABestFit[] =
    "AaAaAaCcCcCcCcDd"
    "??EeEeEeEeEeGgGg"
    "GgGgHhHhIiIiIiIi"
    "Ii??JjKk?LlLlLlL"
    "lLlNnNnNn???OoOo"
    "Oo??RrRrRrSsSsSs"
    "??TtTtTtUuUuUuUu"
    "UuUuWwYy?ZzZz???";
static_assert(sizeof kLatinExtendedABestFit == 0x80 + 1);

char To1252(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
    for (std::uint32_t i = 0; i < 32; ++i) {
        if (k1252High[i] == unit) return static_cast<char>(0x80 + i);
    }
    if (unit >= 0x100 && unit <= 0x17F) return kLatinExtendedABestFit[unit - 0x100];
    if (unit >= 0xFF01 && unit <= 0xFF5E) return static_cast<char>(unit - 0xFF01 + 0x21);
    return '?';
}

char16_t From1252(unsigned char byte) {
    return byte >= 0x80 && byte < 0xA0 ? k1252High[byte - 0x80] : byte;
}

}  // namespace

std::uint32_t FakeCodePages::AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                                        std::uint32_t capacity) {
    if (length == 0) return 0;
    std::u16string units;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::uint32_t i = 0; i < length;) {
        std::uint32_t used = 1;
        units.push_back(utf8 ? DecodeUtf8(bytes + i, length - i, &used) : From1252(bytes[i]));
        i += used;
    }
    const auto needed = static_cast<std::uint32_t>(units.size());
    if (capacity == 0) return needed;
    if (capacity < needed) return 0;
    std::copy(units.begin(), units.end(), out);
    return needed;
}

std::string FakeCodePages::Narrow(const std::u16string& text) {
    std::string bytes;
    for (const char16_t unit : text) {
        if (utf8) {
            char encoded[3];
            bytes.append(encoded, EncodeUtf8(unit, encoded));
        } else {
            bytes.push_back(To1252(unit));
        }
    }
    return bytes;
}

std::u16string FakeCodePages::Widen(const std::string& text) {
    std::u16string out(AnsiToWide(text.data(), static_cast<std::uint32_t>(text.size()), nullptr, 0),
                       u'\0');
    AnsiToWide(text.data(), static_cast<std::uint32_t>(text.size()), out.data(),
               static_cast<std::uint32_t>(out.size()));
    return out;
}

}  // namespace wrapper::fake
