#pragma once

#include "platform/UniqueHandle.h"

#include <cstdint>

namespace wrapper::platform {

// An open registry key. 0 means "no key".
struct KeyHandle {
    std::uintptr_t value = 0;
    explicit operator bool() const { return value != 0; }
};

// Reading one value under HKEY_LOCAL_MACHINE, with the system's semantics. A 32-bit
// launcher reads the 32-bit view, where 32-bit installers register their products.
class Registry {
public:
    // Opens `subKey` under HKEY_LOCAL_MACHINE for querying values only.
    virtual bool OpenLocalMachineKey(const char16_t* subKey, KeyHandle* key) = 0;

    // Reads value `name` into `data`. `sizeInBytes` holds the declared buffer size on entry
    // and the value's size in bytes on success. The value is delivered as stored: a string
    // may lack its terminator. Fails when the value is missing or larger than declared.
    virtual bool QueryValue(KeyHandle key, const char16_t* name, void* data,
                            std::uint32_t* sizeInBytes) = 0;

    virtual void CloseKey(KeyHandle key) = 0;

protected:
    ~Registry() = default;
};

struct KeyTraits {
    using Owner = Registry;
    using Handle = KeyHandle;
    static void Close(Registry& registry, KeyHandle key) { registry.CloseKey(key); }
};
// Owns an open key and closes it exactly once.
using UniqueKey = UniqueHandle<KeyTraits>;

}  // namespace wrapper::platform
