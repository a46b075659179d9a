#pragma once

#include <cstdint>

namespace wrapper::platform {

// Private-profile (INI) files, 8-bit text in the ANSI code page, with the system's semantics:
// a write creates the file and the section when missing and replaces only the named key.
class ProfileFiles {
public:
    virtual bool WriteString(const char* section, const char* key, const char* value,
                             const char* path) = 0;

    // Copies the value (or `defaultValue` when the file, section or key is missing) into
    // `buffer` of `size` bytes, cut to `size - 1` bytes and always terminated. Returns the
    // bytes copied without the terminator.
    virtual std::uint32_t ReadString(const char* section, const char* key,
                                     const char* defaultValue, char* buffer, std::uint32_t size,
                                     const char* path) = 0;

protected:
    ~ProfileFiles() = default;
};

}  // namespace wrapper::platform
