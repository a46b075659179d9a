#pragma once

// The fake machine as a run meets it unless a test sets otherwise, and the name the
// launcher gives its installer there: the facts the launcher's tests share.

#include <cstdint>

namespace wrapper::fake {

// Where the tests keep the package the launcher runs as (FakeFiles::SetOwnPath).
inline constexpr char16_t kOwnPath[] = u"C:\\Downloads\\package.exe";
// The temporary directory the fake reports, with the final separator the system gives it.
inline constexpr char16_t kTempFolder[] = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
// The fake clock's time, seconds since 1970.
inline constexpr std::uint64_t kClockSeconds = 1'700'000'000;
// The installer a run extracts at that time: the launcher's generator seeded with it draws
// 28462, and the launcher adds its own separator to the folder as the system gives it.
inline constexpr char16_t kInstallerPath[] =
    u"C:\\Users\\user\\AppData\\Local\\Temp\\\\Zorvik28462.exe";

}  // namespace wrapper::fake
