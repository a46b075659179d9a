// wrapper-url-recorder FILE URL: appends the URL and a line break to FILE (UTF-8, created
// when missing), one line per start, and exits. Registered as the http and https handler
// of a Wine prefix or a test machine,
//
//   "C:\...\wrapper-url-recorder.exe" "C:\...\urls.txt" "%1"
//
// it shows which landing page a package opened after the install: the URL exactly as the
// system handed it over, backslashes and query included, where a browser would rewrite it.
// The arguments after FILE are recorded joined by single spaces; the shell's "%1" in
// quotes makes them one. Exit status 0 when the line was written, 1 when it could not be,
// 2 when FILE or the URL is missing (nothing is written).
//
// A GUI program, so the shell starts it without a console window, and like the launcher
// without a C runtime: it imports kernel32 and shell32 alone and is a few kilobytes.

#include "LineRecord.h"

#include <windows.h>
#include <shellapi.h>

namespace {

constexpr UINT kRecorded = 0;
constexpr UINT kWriteFailed = 1;
constexpr UINT kUsage = 2;

// The line for arguments[first..count): each argument in UTF-8, a space between two, a line
// break at the end; in `line` (from the process heap), its length in bytes returned. 0 when
// the text does not convert or the heap has no room.
DWORD BuildLine(LPWSTR* arguments, int first, int count, char*& line) {
    int size = 1;  // the line break
    for (int i = first; i < count; ++i) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) {
            return 0;
        }
        size += bytes;  // the terminator's place holds the space or the line break
    }
    line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(size)));
    if (line == nullptr) {
        return 0;
    }
    int length = 0;
    for (int i = first; i < count; ++i) {
        if (i > first) {
            line[length++] = ' ';
        }
        int bytes = WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, line + length, size - length,
                                        nullptr, nullptr);
        if (bytes <= 0) {
            return 0;
        }
        length += bytes - 1;  // without the terminator
    }
    line[length++] = '\n';
    return static_cast<DWORD>(length);
}

UINT Run() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        return kWriteFailed;
    }
    UINT status = kUsage;
    if (count >= 3) {
        char* line = nullptr;
        DWORD length = BuildLine(arguments, 2, count, line);
        status = length != 0 && wrapper::recorder::AppendToFile(arguments[1], line, length)
                     ? kRecorded
                     : kWriteFailed;
    }
    return status;  // the system frees the heap and the arguments at exit
}

}  // namespace

// The image's entry point (linked with -e), called with one argument it does not need.
extern "C" [[noreturn]] void WINAPI RecorderStart(void* /*processEnvironment*/) {
    ExitProcess(Run());
}
