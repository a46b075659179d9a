// Stand-in for the installer a package carries. The end-to-end tests put it into a
// package, run the package, and read back what it did. Everything is steered by
// environment variables, which reach it through the launcher unchanged:
//
//   STANDIN_RECORD=<file>       append two UTF-8 lines: the command line exactly as received,
//                               then this program's module path
//   STANDIN_RECORD_IMAGE=<file> append one line: the size in bytes of this program's own file
//                               and its FNV-1a 64 hash (16 lower-case hex digits), so a test
//                               can tell which bytes were started
//   STANDIN_INSTALL_DIR=<dir>   create that folder and any missing parents
//   STANDIN_LANGUAGE=<value>    write [Language] LANGUAGE=<value> to <install dir>\cfg.ini
//   STANDIN_REGISTER=1          write the uninstall entry pointing at the install dir
//   STANDIN_SLEEP_MS=<n>        stay alive n milliseconds before exiting
//   STANDIN_HOLD_MS=<n>         keep this program's own file open, without delete sharing,
//                               for n milliseconds after it has exited: a process started
//                               from STANDIN_HOLDER (this program's Windows path outside the
//                               package) inherits the handle and sleeps with it, the way a
//                               virus scanner holds a new executable for a while
//   STANDIN_TRY_OWN_FILE=<file> try what another program of the user might do to this
//                               program's own file while it runs, and append one line with
//                               the error code of each (0 when it worked): "write=<n>
//                               delete=<n> rename=<n>" for an open for writing, an open for
//                               deleting, and a rename (undone at once when it works)
//   STANDIN_EXIT=<n>            exit code (default 0)
//
// A step that fails ends the program with 100 + the step number instead, so a test that
// runs the stand-in directly can tell a broken environment from a launcher fault.
// Running it twice overwrites the traces of the first run; the record keeps growing.

#include "LineRecord.h"
#include "handoff/HandOffRecord.h"

#include <windows.h>
#include <shellapi.h>

#include "WrapperVersion.h"

#include <cwchar>
#include <optional>
#include <string>
#include <utility>

namespace {

// The key and value the launcher reads the installation folder from: its own constants.
const wchar_t* const kUninstallKey =
    reinterpret_cast<const wchar_t*>(wrapper::handoff::kUninstallKey);
const wchar_t* const kAppPathValue =
    reinterpret_cast<const wchar_t*>(wrapper::handoff::kAppPathValue);

enum FailedStep : int {
    kRecordFailed = 101,
    kInstallDirFailed = 102,
    kLanguageFailed = 103,
    kRegisterFailed = 104,
    kNoInstallDir = 105,
    kHoldFailed = 106,
    kRecordImageFailed = 107,
    kTryOwnFileFailed = 108,
};

// The argument that makes this program a holder: it sleeps for the given milliseconds
// and exits, keeping every handle it inherited open meanwhile.
constexpr wchar_t kHoldArgument[] = L"--hold-inherited-handles";

std::optional<std::wstring> Env(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::wstring value(size, L'\0');
    DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    if (length == 0 || length >= size) {
        return std::nullopt;
    }
    value.resize(length);
    return value;
}

// Accepts decimal or 0x-prefixed hex, so a test can ask for codes above 2^31 too.
DWORD EnvNumber(const wchar_t* name, DWORD fallback) {
    auto text = Env(name);
    if (!text || text->empty()) {
        return fallback;
    }
    return static_cast<DWORD>(std::wcstoul(text->c_str(), nullptr, 0));
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return L"";
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// One write with append access, so two programs recording into the same file (the
// packaged installer and a planted impostor) never interleave within a record.
bool AppendToFile(const std::wstring& file, const std::string& lines) {
    return wrapper::recorder::AppendToFile(file.c_str(), lines.data(),
                                           static_cast<DWORD>(lines.size()));
}

bool AppendRecord(const std::wstring& file) {
    return AppendToFile(file, Utf8(GetCommandLineW()) + "\n" + Utf8(ModulePath()) + "\n");
}

// Size and FNV-1a 64 hash of this program's own file, read through while it runs.
std::optional<std::pair<unsigned long long, unsigned long long>> OwnImageDigest() {
    HANDLE own = CreateFileW(ModulePath().c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (own == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    unsigned long long size = 0;
    unsigned long long hash = 0xcbf29ce484222325ULL;
    unsigned char buffer[16 * 1024];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(own, buffer, sizeof buffer, &got, nullptr) != FALSE) && got != 0) {
        for (DWORD i = 0; i < got; ++i) {
            hash = (hash ^ buffer[i]) * 0x100000001b3ULL;
        }
        size += got;
    }
    CloseHandle(own);
    if (!ok) {
        return std::nullopt;
    }
    return std::make_pair(size, hash);
}

// "<size> <hash>\n", appended in one write like the record.
bool AppendImageRecord(const std::wstring& file) {
    auto digest = OwnImageDigest();
    if (!digest) {
        return false;
    }
    std::string line = std::to_string(digest->first) + " ";
    for (int shift = 60; shift >= 0; shift -= 4) {
        line += "0123456789abcdef"[(digest->second >> shift) & 0xf];
    }
    return AppendToFile(file, line + "\n");
}

// The error code of an open of this program's own file with `access`, sharing everything;
// 0 when it opened.
DWORD TryOpenOwnFile(DWORD access) {
    HANDLE own = CreateFileW(ModulePath().c_str(), access,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (own == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(own);
    return 0;
}

bool AppendOwnFileAttempts(const std::wstring& file) {
    const std::wstring own = ModulePath();
    const std::wstring moved = own + L".moved";
    DWORD write = TryOpenOwnFile(GENERIC_WRITE);
    DWORD remove = TryOpenOwnFile(DELETE);
    DWORD rename = 0;
    if (MoveFileW(own.c_str(), moved.c_str())) {
        MoveFileW(moved.c_str(), own.c_str());
    } else {
        rename = GetLastError();
    }
    return AppendToFile(file, "write=" + std::to_string(write) + " delete=" +
                                  std::to_string(remove) + " rename=" + std::to_string(rename) +
                                  "\n");
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Where the part of the path that names folders begins: after "C:\", "\\server\share\"
// or "\\?\C:\", none of which can be created.
size_t RootLength(const std::wstring& dir) {
    size_t start = dir.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0;
    if (dir.size() >= start + 2 && dir[start + 1] == L':') {
        return start + 2;
    }
    if (start == 0 && dir.size() >= 2 && IsSeparator(dir[0]) && IsSeparator(dir[1])) {
        size_t server = dir.find_first_of(L"\\/", 2);
        if (server == std::wstring::npos) {
            return dir.size();
        }
        size_t share = dir.find_first_of(L"\\/", server + 1);
        return share == std::wstring::npos ? dir.size() : share;
    }
    return start;
}

// Creates every missing folder along the path. Folders that already exist are fine,
// which is what lets a second run succeed.
bool CreateDirectories(const std::wstring& dir) {
    for (size_t i = RootLength(dir) + 1; i <= dir.size(); ++i) {
        bool endOfName = i == dir.size() || IsSeparator(dir[i]);
        if (!endOfName || IsSeparator(dir[i - 1])) {
            continue;
        }
        std::wstring prefix = dir.substr(0, i);
        if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    DWORD attributes = GetFileAttributesW(dir.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring JoinPath(const std::wstring& dir, const wchar_t* name) {
    if (!dir.empty() && IsSeparator(dir.back())) {
        return dir + name;
    }
    return dir + L"\\" + name;
}

bool Register(const std::wstring& installDir) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    auto bytes = static_cast<DWORD>((installDir.size() + 1) * sizeof(wchar_t));
    LONG status = RegSetValueExW(key, kAppPathValue, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(installDir.c_str()), bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// Opens this program's own file with read and write sharing but no delete sharing, as an
// inheritable handle, and starts the holder with it. The handle of this process closes at
// exit; the holder's copy keeps the file undeletable until the holder ends.
bool HoldOwnFile(const std::wstring& holder, DWORD milliseconds) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE own = CreateFileW(ModulePath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (own == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::wstring commandLine = L"\"" + holder + L"\" " + kHoldArgument + L" " +
                               std::to_wstring(milliseconds);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(holder.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(own);
    if (!started) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// The value of a leading option `name`: the argument after it, when it comes first.
std::optional<std::wstring> LeadingOption(const wchar_t* name) {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::optional<std::wstring> value;
    if (arguments != nullptr && count >= 3 && std::wcscmp(arguments[1], name) == 0) {
        value = arguments[2];
    }
    LocalFree(arguments);
    return value;
}

// When started as a holder: the milliseconds to sleep, else nothing.
std::optional<DWORD> HolderMilliseconds() {
    if (auto milliseconds = LeadingOption(kHoldArgument)) {
        return static_cast<DWORD>(std::wcstoul(milliseconds->c_str(), nullptr, 10));
    }
    return std::nullopt;
}

int Run() {
    if (auto holdMs = HolderMilliseconds()) {
        Sleep(*holdMs);
        return 0;
    }

    if (auto record = Env(L"STANDIN_RECORD"); record && !record->empty()) {
        if (!AppendRecord(*record)) {
            return kRecordFailed;
        }
    }

    if (auto imageRecord = Env(L"STANDIN_RECORD_IMAGE"); imageRecord && !imageRecord->empty()) {
        if (!AppendImageRecord(*imageRecord)) {
            return kRecordImageFailed;
        }
    }

    if (auto attempts = Env(L"STANDIN_TRY_OWN_FILE"); attempts && !attempts->empty()) {
        if (!AppendOwnFileAttempts(*attempts)) {
            return kTryOwnFileFailed;
        }
    }

    auto installDir = Env(L"STANDIN_INSTALL_DIR");
    if (installDir && !installDir->empty() && !CreateDirectories(*installDir)) {
        return kInstallDirFailed;
    }
    bool haveDir = installDir && !installDir->empty();

    if (auto language = Env(L"STANDIN_LANGUAGE")) {
        if (!haveDir) {
            return kNoInstallDir;
        }
        std::wstring ini = JoinPath(*installDir, L"cfg.ini");
        if (!WritePrivateProfileStringW(L"Language", L"LANGUAGE", language->c_str(), ini.c_str())) {
            return kLanguageFailed;
        }
    }

    if (auto registerFlag = Env(L"STANDIN_REGISTER"); registerFlag && *registerFlag == L"1") {
        if (!haveDir) {
            return kNoInstallDir;
        }
        if (!Register(*installDir)) {
            return kRegisterFailed;
        }
    }

    if (DWORD holdMs = EnvNumber(L"STANDIN_HOLD_MS", 0); holdMs != 0) {
        auto holder = Env(L"STANDIN_HOLDER");
        if (!holder || !HoldOwnFile(*holder, holdMs)) {
            return kHoldFailed;
        }
    }

    if (DWORD sleepMs = EnvNumber(L"STANDIN_SLEEP_MS", 0); sleepMs != 0) {
        Sleep(sleepMs);
    }
    return static_cast<int>(EnvNumber(L"STANDIN_EXIT", 0));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // ExitProcess rather than a return, so a code above INT_MAX survives unchanged.
    ExitProcess(static_cast<UINT>(Run()));
}
