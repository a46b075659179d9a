#pragma once

// The tools' handles, owned by the launcher's owner template. The tools close them with the
// system's own calls, which need no service object: `theSystem` stands in for one.

#include "platform/UniqueHandle.h"

#include <cstdint>

namespace wrapper::tools::host {

struct System {};
inline System theSystem;

// An open file: a descriptor, or a HANDLE on Windows; -1 (there INVALID_HANDLE_VALUE) for
// none.
struct SystemFile {
    std::intptr_t value = -1;
    explicit operator bool() const { return value != -1; }
};

struct SystemFileTraits {
    using Owner = System;
    using Handle = SystemFile;
    static void Close(System&, SystemFile file);  // one per system, beside InputFile's
};
using UniqueSystemFile = wrapper::platform::UniqueHandle<SystemFileTraits>;

// Any other object of the system or a library that one call frees; null for none.
template <class T, auto Free>
struct FreedBy {
    using Owner = System;
    using Handle = T;
    static void Close(System&, T object) { Free(object); }
};
template <class T, auto Free>
using UniqueSystemObject = wrapper::platform::UniqueHandle<FreedBy<T, Free>>;

}  // namespace wrapper::tools::host
