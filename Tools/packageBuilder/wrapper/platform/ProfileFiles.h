#pragma once

#include <cstdint>

namespace wrapper::platform {

// Private-profile (INI) files with the system's semantics: a write creates the file and the
// section when missing and replaces only the named key. Paths are UTF-16, so a folder the
// ANSI code page cannot spell is still the folder meant; sections and keys are ASCII.
// Values are 8-bit text in the ANSI code page, as the files hold them: they pass through
// the system's wide functions converted with that code page on the way in and back on the
// way out, which is exactly what those functions do with a file that is not Unicode, so
// every byte a single-byte code page knows (and those it leaves undefined) comes back as it
// was.
// The largest value buffer ReadString fills, and the longest value WriteString takes (two
// trailer fields joined), in bytes, terminator included.
inline constexpr std::uint32_t kProfileValueSize = 260;
inline constexpr std::uint32_t kProfileWriteSize = 2 * 260 + 1;

class ProfileFiles {
public:
    virtual bool WriteString(const char16_t* section, const char16_t* key, const char* value,
                             const char16_t* path) = 0;

    // Copies the value (empty text when the file, section or key is missing) into `buffer`
    // of `size` bytes (1 to kProfileValueSize), cut to `size - 1` bytes and always
    // terminated. Returns the bytes copied without the terminator.
    virtual std::uint32_t ReadString(const char16_t* section, const char16_t* key, char* buffer,
                                     std::uint32_t size, const char16_t* path) = 0;

protected:
    ~ProfileFiles() = default;
};

}  // namespace wrapper::platform
