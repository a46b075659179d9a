#pragma once

#include "platform/UniqueHandle.h"

#include <cstdint>

namespace wrapper::platform {

// An open file. 0 means "no file"; implementations never hand out 0 for an open one.
struct FileHandle {
    std::uintptr_t value = 0;
    explicit operator bool() const { return value != 0; }
};

// Which file an open handle refers to, whatever path named it: two handles with the same
// identity are open on the same file.
struct FileIdentity {
    std::uint32_t volumeSerial = 0;
    std::uint64_t fileIndex = 0;
    bool operator==(const FileIdentity&) const = default;
};

// What became of a file the caller asked to delete.
enum class DeleteOutcome : std::uint32_t {
    Deleted,   // the file is gone
    NotFound,  // no file of that name (or no such folder) exists
    Failed,    // the file is still there: in use without delete sharing, or access denied
};

// Origins of a file-pointer move, numbered as the system numbers them.
enum class SeekOrigin : std::uint32_t { Begin = 0, Current = 1, End = 2 };

// The file services the launcher uses, with the system's semantics:
// - a move to a negative position fails and leaves the position unchanged; a move past the
//   end succeeds;
// - a read at or past the end succeeds with 0 bytes; a failed read moves nothing;
// - sizes are in bytes, paths and path buffers in UTF-16 units.
class Files {
public:
    // The launcher's own path into `buffer` (capacity in units, terminator included).
    // Returns the units written without the terminator, 0 on failure.
    virtual std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) = 0;

    // The temporary directory, ending with a backslash, into `buffer`. Returns its length
    // without the terminator; when it does not fit, the size needed (terminator included,
    // so always more than `capacity - 1`) and the buffer is unspecified; 0 on failure.
    virtual std::uint32_t GetTempDirectory(char16_t* buffer, std::uint32_t capacity) = 0;

    // Opens an existing file for reading. While the handle is open others may only read
    // the file: no writing, no deleting or renaming.
    virtual FileHandle OpenForReading(const char16_t* path) = 0;

    // Creates a file that must not exist yet, for reading and writing. Fails when any
    // file of that name exists, which is then left untouched. The file gets a protected
    // security descriptor of its own, nothing inherited from the folder: full control for
    // SYSTEM and Administrators, read and execute for everyone else, its owner included.
    // The handle may also delete the file (DeleteOpened). While it is open others may only
    // read the file: no writing, no deleting or renaming.
    virtual FileHandle CreateNew(const char16_t* path) = 0;

    // Opens an existing file for reading and, while the handle is open, lets others only
    // read it: no writing, no deleting or renaming. Fails while anyone has it open for
    // writing or without read sharing. The system can still start a program from the file,
    // and the program can read itself (sharing reading only, as many do).
    virtual FileHandle OpenAndHold(const char16_t* path) = 0;

    // Opens an existing file for deleting it through the handle (DeleteOpened) and for
    // reading its identity, not following a link the name itself is; while the handle is
    // open others may only read the file. Fails while anyone has it open without delete
    // sharing. A platform that offers no such delete gives no handle.
    virtual FileHandle OpenForDeleting(const char16_t* /*path*/) { return {}; }

    // The identity of the open `file`; false when the system cannot tell.
    virtual bool GetIdentity(FileHandle file, FileIdentity* identity) = 0;

    // Moves the position by `distance` from `origin`; on success stores the new position
    // in `newPosition` when it is not null.
    virtual bool Seek(FileHandle file, std::int64_t distance, SeekOrigin origin,
                      std::int64_t* newPosition) = 0;

    // Reads up to `size` bytes; `bytesRead` receives the count (0 at the end of the file).
    virtual bool Read(FileHandle file, void* buffer, std::uint32_t size, std::uint32_t* bytesRead) = 0;

    // Writes `size` bytes; `bytesWritten` receives the count written.
    virtual bool Write(FileHandle file, const void* buffer, std::uint32_t size,
                       std::uint32_t* bytesWritten) = 0;

    virtual void Close(FileHandle file) = 0;

    // Deletes the file that `file` is open on, whatever its name leads to by now: the name
    // is not looked up again. The handle must have been opened for deleting (CreateNew,
    // OpenForDeleting); the file goes when the last handle on it closes, and meanwhile
    // nobody can open it. Fails, leaving the file, while a program started from it is still
    // mapped (its process may outlive its exit code by a moment). A platform that offers no
    // such delete refuses.
    virtual bool DeleteOpened(FileHandle /*file*/) { return false; }

    // By name, for the producer tools and the tests; the launcher, which runs elevated in
    // the user's own folders, never deletes by name: between two steps another program of
    // the user can make a name lead to any file. A platform may leave them out (they then
    // refuse).
    virtual DeleteOutcome Delete(const char16_t* /*path*/) { return DeleteOutcome::Failed; }
    // Asks the system to delete the file when the machine next starts.
    virtual bool DeleteAtRestart(const char16_t* /*path*/) { return false; }

protected:
    ~Files() = default;
};

struct FileTraits {
    using Owner = Files;
    using Handle = FileHandle;
    static void Close(Files& files, FileHandle file) { files.Close(file); }
};
// Owns an open file and closes it exactly once.
using UniqueFile = UniqueHandle<FileTraits>;

}  // namespace wrapper::platform
