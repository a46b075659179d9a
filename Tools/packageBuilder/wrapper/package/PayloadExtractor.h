#pragma once

#include "ResultCode.h"
#include "platform/Clock.h"
#include "platform/Files.h"

#include <cstdint>

namespace wrapper::package {

// Capacity of the launcher's path buffers in UTF-16 units, terminator included: a path
// holds at most 511 units.
inline constexpr std::uint32_t kPathCapacity = 512;

// The longest path, in UTF-16 units, that a program can be started from: the system refuses
// (or mangles) a program path of MAX_PATH (260) units or more.
inline constexpr std::uint32_t kMaxStartablePathLength = 259;

// The payload is streamed through one static buffer of this many bytes: 64 KiB, where the
// launcher once used 16 KiB. Every read and write is a system call (under Wine more than
// one), and whole runs with 64 KiB were faster by more than the noise; 1 MiB was not
// faster than 64 KiB (docs/performance.md). A build may set WRAPPER_COPY_BUFFER_SIZE for
// the benchmark's experiment with other sizes (scripts/bench times 16 KiB and 1 MiB).
#ifdef WRAPPER_COPY_BUFFER_SIZE
inline constexpr std::uint32_t kCopyBufferSize = WRAPPER_COPY_BUFFER_SIZE;
#else
inline constexpr std::uint32_t kCopyBufferSize = 64 * 1024;
#endif

// One value of the launcher's name generator seeded with `seed`: the classic linear
// congruential generator (state = state * 214013 + 2531011), value 0 to 32767.
std::uint32_t DrawTempNumber(std::uint32_t seed);

// Writes `directory` (as the system returns it, ending with a backslash), "\Zorvik",
// `number` in decimal and ".exe" into `path`. The separator before "Zorvik" is doubled on
// purpose (installers see the command line they always have); the file system reads it as
// one. A directory with the \\?\ prefix gets no second separator: the system takes such a
// path literally, and a doubled separator there names no file. Returns false, with `path` empty, when the
// result would pass kMaxStartablePathLength units: no program could be started from it.
bool FormatTempInstallerPath(const char16_t* directory, std::uint32_t number,
                             char16_t (&path)[kPathCapacity]);

// Chooses where the installer goes: a name in the temporary directory drawn from the
// current time (FormatTempInstallerPath). Returns kSuccess with the path in `path`, or
// kTempDirectoryFailed with `path` empty when there is no temporary directory, or the path
// would not fit or could not be started from.
ResultCode ChooseInstallerPath(platform::Files& files, platform::Clock& clock,
                               char16_t (&path)[kPathCapacity]);

// Copies `payloadSize` bytes from `from`'s current position to `to`'s, through the static
// copy buffer. Returns kSuccess when all of them were copied, kPayloadCopyFailed when a
// read or a write failed or ended early (a payload shorter than `payloadSize` included);
// `to` then holds what was copied so far. Neither handle is closed.
ResultCode CopyPayload(platform::Files& files, platform::FileHandle from,
                       std::uint64_t payloadSize, platform::FileHandle to);

// Extracts the payload (the `payloadSize` bytes starting at the own file's current
// position): chooses the installer's path, creates the file there and copies the payload
// into it.
// `tempInstallerPath` must be empty on entry. `createdInstaller` tells whether this call
// created the file: only then may the caller start it (on kSuccess). The file
// is created with CreateNew's protection, so that while it is written nobody else can
// write, delete or rename it; `identity` receives its identity, for the caller to tell it
// from a file put in its place once it is closed.
// Returns:
//   kSuccess                 the whole payload was copied; the path names the new file;
//   kTempDirectoryFailed     no temporary directory, or the path would not fit or could not
//                            be started from; nothing created, path empty;
//   kInstallerCreateFailed   the file could not be created (a file of that name exists);
//                            the path names that file, which is not ours; or the new file's
//                            identity could not be read (then `createdInstaller` is set);
//   kPayloadCopyFailed       reading the payload or writing the copy failed or ended early.
// A file this call created and could not fill is deleted through the handle that wrote it
// (as long as the system lets it). The new file is closed on return; the own file stays
// open.
ResultCode ExtractPayload(platform::Files& files, platform::Clock& clock,
                          platform::FileHandle ownFile, std::uint64_t payloadSize,
                          char16_t (&tempInstallerPath)[kPathCapacity], bool& createdInstaller,
                          platform::FileIdentity& identity);

}  // namespace wrapper::package
