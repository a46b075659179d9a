#include "platform/win32/Win32Platform.h"

#include <windows.h>
#include <shellapi.h>

namespace wrapper::platform::win32 {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

HANDLE ToHandle(std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

FileHandle FromFileHandle(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return {};
    return {reinterpret_cast<std::uintptr_t>(handle)};
}

}  // namespace

void RestrictLibrarySearchToSystem() {
    // Looked up at run time: a system that lacks the function would otherwise refuse to
    // load the launcher at all. kernel32 is always loaded.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const FARPROC found =
        kernel != nullptr ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    // Through the generic function type, which the compiler accepts for any function.
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void (*)()>(found));
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    // Without it, at least the current folder leaves the search.
    SetDllDirectoryW(L"");
}

std::uint32_t Win32Platform::GetOwnPath(char16_t* buffer, std::uint32_t capacity) {
    const DWORD length = GetModuleFileNameW(nullptr, Wide(buffer), capacity);
    // A result equal to the capacity means the path was cut short.
    return length < capacity ? length : 0;
}

std::uint32_t Win32Platform::GetTempDirectory(std::uint32_t capacity, char16_t* buffer) {
    return GetTempPathW(capacity, Wide(buffer));
}

FileHandle Win32Platform::OpenForReading(const char16_t* path) {
    return FromFileHandle(CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle Win32Platform::CreateNew(const char16_t* path) {
    return FromFileHandle(CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Win32Platform::Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
                         std::int64_t* newPosition) {
    LARGE_INTEGER move;
    move.QuadPart = distance;
    LARGE_INTEGER moved;
    if (!SetFilePointerEx(ToHandle(file.value), move, &moved, static_cast<DWORD>(origin))) {
        return false;
    }
    if (newPosition != nullptr) *newPosition = moved.QuadPart;
    return true;
}

bool Win32Platform::Read(FileHandle file, void* buffer, std::uint32_t size,
                         std::uint32_t* bytesRead) {
    DWORD got = 0;
    const BOOL ok = ReadFile(ToHandle(file.value), buffer, size, &got, nullptr);
    *bytesRead = got;
    return ok != FALSE;
}

bool Win32Platform::Write(FileHandle file, const void* buffer, std::uint32_t size,
                          std::uint32_t* bytesWritten) {
    DWORD written = 0;
    const BOOL ok = WriteFile(ToHandle(file.value), buffer, size, &written, nullptr);
    *bytesWritten = written;
    return ok != FALSE;
}

void Win32Platform::Close(FileHandle file) { CloseHandle(ToHandle(file.value)); }

DeleteOutcome Win32Platform::Delete(const char16_t* path) {
    if (DeleteFileW(Wide(path))) return DeleteOutcome::Deleted;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? DeleteOutcome::NotFound
                                                                           : DeleteOutcome::Failed;
}

bool Win32Platform::DeleteAtRestart(const char16_t* path) {
    return MoveFileExW(Wide(path), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool Win32Platform::Start(const char16_t* applicationName, char16_t* commandLine,
                          ProcessHandle* process) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(Wide(applicationName), Wide(commandLine), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &started)) {
        return false;
    }
    // Nothing waits on the thread; only the process handle is kept.
    CloseHandle(started.hThread);
    process->value = reinterpret_cast<std::uintptr_t>(started.hProcess);
    return true;
}

bool Win32Platform::WaitForExit(ProcessHandle process) {
    return WaitForSingleObject(ToHandle(process.value), INFINITE) == WAIT_OBJECT_0;
}

bool Win32Platform::GetExitCode(ProcessHandle process, std::uint32_t* exitCode) {
    DWORD code = 0;
    if (!GetExitCodeProcess(ToHandle(process.value), &code)) return false;
    *exitCode = code;
    return true;
}

void Win32Platform::Close(ProcessHandle process) { CloseHandle(ToHandle(process.value)); }

std::uint64_t Win32Platform::SecondsSince1970() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    // FILETIME counts 100 ns steps since 1601-01-01.
    constexpr std::uint64_t kStepsPerSecond = 10'000'000;
    constexpr std::uint64_t kStepsFrom1601To1970 = 116'444'736'000'000'000;
    const std::uint64_t steps =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return steps < kStepsFrom1601To1970 ? 0 : (steps - kStepsFrom1601To1970) / kStepsPerSecond;
}

void Win32Platform::Pause(std::uint32_t milliseconds) { Sleep(milliseconds); }

bool Win32Platform::OpenLocalMachineKey(const char16_t* subKey, KeyHandle* key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(subKey), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
        return false;
    }
    key->value = reinterpret_cast<std::uintptr_t>(opened);
    return true;
}

bool Win32Platform::QueryValue(KeyHandle key, const char16_t* name, void* data,
                               std::uint32_t* sizeInBytes) {
    DWORD size = *sizeInBytes;
    const LSTATUS status = RegQueryValueExW(reinterpret_cast<HKEY>(key.value), Wide(name), nullptr,
                                            nullptr, static_cast<BYTE*>(data), &size);
    if (status != ERROR_SUCCESS) return false;
    *sizeInBytes = size;
    return true;
}

void Win32Platform::CloseKey(KeyHandle key) { RegCloseKey(reinterpret_cast<HKEY>(key.value)); }

bool Win32Platform::WriteString(const char* section, const char* key, const char* value,
                                const char* path) {
    return WritePrivateProfileStringA(section, key, value, path) != FALSE;
}

std::uint32_t Win32Platform::ReadString(const char* section, const char* key,
                                        const char* defaultValue, char* buffer,
                                        std::uint32_t size, const char* path) {
    return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, path);
}

void Win32Platform::OpenUrl(const char16_t* url) {
    ShellExecuteW(nullptr, L"open", Wide(url), nullptr, nullptr, SW_SHOWNORMAL);
}

std::uint32_t Win32Platform::WideToAnsi(const char16_t* text, std::uint32_t length, char* out,
                                        std::uint32_t capacity) {
    const int converted =
        WideCharToMultiByte(CP_ACP, 0, Wide(text), static_cast<int>(length), out,
                            static_cast<int>(capacity), nullptr, nullptr);
    return converted > 0 ? static_cast<std::uint32_t>(converted) : 0;
}

std::uint32_t Win32Platform::AnsiToWide(const char* text, std::uint32_t length, char16_t* out,
                                        std::uint32_t capacity) {
    const int converted = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length),
                                              Wide(out), static_cast<int>(capacity));
    return converted > 0 ? static_cast<std::uint32_t>(converted) : 0;
}

}  // namespace wrapper::platform::win32
