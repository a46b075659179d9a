#include "FakePlatform.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace wrapper::fake {

namespace {

std::u16string Text(const char16_t* text) { return text == nullptr ? u"" : std::u16string(text); }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
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
    StartedProcess record{program, Text(commandLine), files_.Bytes(program)};
    started.push_back(record);
    const std::uintptr_t handle = nextHandle_++;
    exitCodes_[handle] = onStart(record);
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

std::u16string FakeProfileFiles::Widen(const char* path) {
    std::u16string wide;
    for (const char* p = path; *p != '\0'; ++p) wide.push_back(static_cast<unsigned char>(*p));
    return wide;
}

bool FakeProfileFiles::WriteString(const char* section, const char* key, const char* value,
                                   const char* path) {
    if (log_.Record(Call::WriteProfileString)) return false;
    const std::u16string file = Widen(path);
    std::vector<std::string> lines = Lines(files_.ReadText(file));
    const std::string entry = std::string(key) + "=" + value;

    std::string name;
    std::size_t sectionLine = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (IsSection(lines[i], &name) && SameIgnoringCase(name, section)) {
            sectionLine = i;
            break;
        }
    }
    if (sectionLine == lines.size()) {
        lines.push_back(std::string("[") + section + "]");
        lines.push_back(entry);
    } else {
        std::size_t insertAt = sectionLine + 1;
        std::string existing;
        bool replaced = false;
        for (std::size_t i = sectionLine + 1; i < lines.size() && !IsSection(lines[i], &name); ++i) {
            if (IsKey(lines[i], key, &existing)) {
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

std::uint32_t FakeProfileFiles::ReadString(const char* section, const char* key,
                                           const char* defaultValue, char* buffer,
                                           std::uint32_t size, const char* path) {
    std::string result = defaultValue == nullptr ? "" : defaultValue;
    if (!log_.Record(Call::ReadProfileString)) {
        bool inSection = false;
        std::string name;
        std::string value;
        for (const auto& line : Lines(files_.ReadText(Widen(path)))) {
            if (IsSection(line, &name)) {
                inSection = SameIgnoringCase(name, section);
            } else if (inSection && IsKey(line, key, &value)) {
                result = value;
                break;
            }
        }
    }
    if (size == 0) return 0;
    const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(result.size(), size - 1));
    std::memcpy(buffer, result.data(), count);
    buffer[count] = '\0';
    return count;
}

void FakeShell::OpenUrl(const char16_t* url) {
    if (log_.Record(Call::OpenUrl)) return;
    opened.push_back(Text(url));
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

std::uint32_t FakeCodePages::WideToAnsi(const char16_t* text, std::uint32_t length, char* out,
                                        std::uint32_t capacity) {
    if (length == 0) return 0;
    std::string bytes;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (utf8) {
            char unit[3];
            bytes.append(unit, EncodeUtf8(text[i], unit));
        } else {
            bytes.push_back(text[i] <= 0xff ? static_cast<char>(text[i]) : '?');
        }
    }
    const auto needed = static_cast<std::uint32_t>(bytes.size());
    if (capacity == 0) return needed;
    if (capacity < needed) return 0;
    std::memcpy(out, bytes.data(), needed);
    return needed;
}

std::uint32_t FakeCodePages::AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                                        std::uint32_t capacity) {
    if (length == 0) return 0;
    std::u16string units;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::uint32_t i = 0; i < length;) {
        std::uint32_t used = 1;
        units.push_back(utf8 ? DecodeUtf8(bytes + i, length - i, &used) : bytes[i]);
        i += used;
    }
    const auto needed = static_cast<std::uint32_t>(units.size());
    if (capacity == 0) return needed;
    if (capacity < needed) return 0;
    std::copy(units.begin(), units.end(), out);
    return needed;
}

}  // namespace wrapper::fake
