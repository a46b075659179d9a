#pragma once

#include <cstdint>

namespace wrapper::platform::win32 {

// The security descriptor the extracted installer is created with, ready made, so that
// nothing beyond kernel32 is loaded before the installer runs (the text form would need
// advapi32 to convert it). In the system's text form:
//   D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;GRGX;;;WD)(A;;GRGX;;;OW)
// Self-relative: a 20-byte header with a DACL only, protected (nothing is inherited from
// the folder), then the DACL's four access-allowed entries, none inherited or inheritable:
// full control for SYSTEM and Administrators, read and execute for Everyone; Owner Rights
// cuts the owner's implicit right to rewrite this list down to read and execute as well,
// should the owner be the user. Generic rights stay generic: the system maps them to file
// rights when it gives the descriptor to the new file. All numbers are little-endian.
alignas(4) inline constexpr std::uint8_t kProtectedFileDescriptor[] = {
    // Revision 1, Sbz1; control SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT.
    0x01, 0x00, 0x04, 0x90,
    // No owner, group or SACL; the DACL right after this header.
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x14, 0x00, 0x00, 0x00,
    // DACL: revision 2, Sbz1, size 92 bytes, 4 entries, Sbz2.
    0x02, 0x00, 0x5C, 0x00, 0x04, 0x00, 0x00, 0x00,
    // Allowed, no flags, 20 bytes: FILE_ALL_ACCESS to SYSTEM (S-1-5-18).
    0x00, 0x00, 0x14, 0x00, 0xFF, 0x01, 0x1F, 0x00,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
    // Allowed, no flags, 24 bytes: FILE_ALL_ACCESS to Administrators (S-1-5-32-544).
    0x00, 0x00, 0x18, 0x00, 0xFF, 0x01, 0x1F, 0x00,
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
    // Allowed, no flags, 20 bytes: GENERIC_READ | GENERIC_EXECUTE to Everyone (S-1-1-0).
    0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xA0,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
    // Allowed, no flags, 20 bytes: GENERIC_READ | GENERIC_EXECUTE to Owner Rights (S-1-3-4).
    0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0xA0,
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x04, 0x00, 0x00, 0x00,
};

}  // namespace wrapper::platform::win32
