#pragma once

#include "platform/Files.h"
#include "FakeFacts.h"

#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace wrapper::fake {

// The letter a name is compared as when case does not count, as the system compares file
// names, registry keys and profile sections and keys: capitals of ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic become their small letters; everything else stays.
char16_t FoldCase(char16_t unit);

// Every call of the fake platform that a test can count or make fail.
enum class Call {
    GetOwnPath,
    GetTempDirectory,
    OpenForReading,
    CreateNew,
    OpenAndHold,
    OpenForDeleting,
    GetIdentity,
    Seek,
    Read,
    Write,
    Close,
    DeleteOpened,
    Delete,
    Pause,
    StartProcess,
    WaitForExit,
    GetExitCode,
    CloseProcess,
    IsOwnImage,
    RunsElevated,
    OpenKey,
    QueryValue,
    CloseKey,
    WriteProfileString,
    ReadProfileString,
    BeginCom,
    EndCom,
    OpenUrlAsDesktopUser,
    OpenUrl,
};

// The call's name as written above, for messages.
inline const char* CallName(Call call) {
    static constexpr const char* kNames[] = {
        "GetOwnPath", "GetTempDirectory", "OpenForReading", "CreateNew", "OpenAndHold",
        "OpenForDeleting", "GetIdentity", "Seek", "Read", "Write", "Close", "DeleteOpened",
        "Delete", "Pause", "StartProcess", "WaitForExit", "GetExitCode", "CloseProcess",
        "IsOwnImage", "RunsElevated", "OpenKey", "QueryValue", "CloseKey",
        "WriteProfileString", "ReadProfileString", "BeginCom", "EndCom",
        "OpenUrlAsDesktopUser", "OpenUrl"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(Call::OpenUrl) + 1);
    return kNames[static_cast<std::size_t>(call)];
}

// Counts calls and fails the chosen ones. Calls are numbered from 1 per kind.
class CallLog {
public:
    // Runs before every call is recorded, with the call: what other programs do meanwhile.
    std::function<void(Call)> beforeCall;

    // Makes the `nth` call of `call` fail (and every later one when `andLater`).
    void Fail(Call call, std::uint32_t nth = 1, bool andLater = false) {
        failures_[call] = {nth, andLater};
    }
    std::uint32_t Count(Call call) const {
        const auto it = counts_.find(call);
        return it == counts_.end() ? 0 : it->second;
    }
    // Every call recorded so far, in order.
    const std::vector<Call>& Sequence() const { return sequence_; }
    // Records one call; true when it must fail.
    bool Record(Call call) {
        if (beforeCall) beforeCall(call);
        sequence_.push_back(call);
        const std::uint32_t n = ++counts_[call];
        const auto it = failures_.find(call);
        if (it == failures_.end()) return false;
        return n == it->second.nth || (it->second.andLater && n > it->second.nth);
    }

private:
    struct Failure {
        std::uint32_t nth;
        bool andLater;
    };
    std::map<Call, std::uint32_t> counts_;
    std::map<Call, Failure> failures_;
    std::vector<Call> sequence_;
};

// What the system answers another program that tries something on a file.
enum class Answer {
    Done,
    AccessDenied,      // the file's security descriptor does not allow it (5)
    SharingViolation,  // an open handle does not share what it needs (32)
    NotFound,          // no such file (2)
    AlreadyExists,     // the new name is taken (183)
};

// An in-memory file system with the system's file semantics: paths compare without regard
// to case (as FoldCase folds it) and with runs of backslashes read as one, except after the
// \\?\ prefix, which is dropped and leaves the rest to be taken literally; a move before
// the start fails and leaves the position; a move past the end succeeds; a read at the end
// succeeds with 0 bytes; CREATE_NEW fails on any existing file and leaves it untouched.
//
// Every open handle has its access (read, write, delete) and share mode, and a new open,
// a delete or a rename is refused with a sharing violation where they clash, as the system
// refuses them: the own file is opened for reading sharing reading only, a created file
// for reading, writing and deleting sharing reading only, a held one for reading sharing
// reading only, one opened for deleting sharing reading only. A file deleted through a
// handle goes when its last handle closes; meanwhile it cannot be opened. A program's file is in use while it runs: it cannot be opened for writing or
// deleted, but can be renamed. The launcher runs elevated and may do anything the sharing
// allows; another program of the signed-in user, without administrator rights (the User*
// calls), may also delete and rename any file through its rights on its own folders, but
// may only read a file the launcher created, whose security descriptor says so.
class FakeFiles final : public platform::Files {
public:
    explicit FakeFiles(CallLog& log) : log_(log) {}

    static constexpr std::uint32_t kVolumeSerial = 0x5eed1e55;

    // Set-up and inspection.
    void SetOwnPath(std::u16string path);
    void SetTempDirectory(std::u16string path) { tempDirectory_ = std::move(path); }
    void AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes);
    bool Exists(const std::u16string& path) const;
    const std::vector<std::uint8_t>& Bytes(const std::u16string& path) const;
    std::vector<std::u16string> Paths() const;  // as first written
    std::uint32_t OpenHandles() const { return static_cast<std::uint32_t>(open_.size()); }
    // Makes the `nth` read deliver at most `maxBytes` (a file cut short under the reader).
    void LimitRead(std::uint32_t nth, std::uint32_t maxBytes) { readLimits_[nth] = maxBytes; }
    // Makes the `nth` write report at most `maxBytes` written, and write only those.
    void LimitWrite(std::uint32_t nth, std::uint32_t maxBytes) { writeLimits_[nth] = maxBytes; }
    // Makes the `nth` read or write move one byte less than it otherwise would (none
    // fewer than 0): a short transfer whatever size was asked for.
    void ShortenRead(std::uint32_t nth) { readShortenings_.insert(nth); }
    void ShortenWrite(std::uint32_t nth) { writeShortenings_.insert(nth); }
    // Makes every delete of `path` fail as for a file in use, as long as `held` is set.
    void Hold(const std::u16string& path, bool held = true);
    // The file the launcher's process was started from: the first file put at the own path
    // (SetOwnPath, AddFile) unless a test names another here. It stays that file when it is
    // renamed; a file put at its name afterwards is another one.
    void SetStartedImage(const std::u16string& path);
    // Whether `file` is open on that file (no call recorded: the processes' fake asks).
    bool IsStartedImage(platform::FileHandle file);

    // A program started from `path` runs until Stop: its file is in use meanwhile. Start
    // refuses, as the system does, a file someone has open for writing or without read
    // sharing.
    bool StartProgram(const std::u16string& path);
    void StopProgram(const std::u16string& path);

    // Another program of the user, without administrator rights. Each opens and closes
    // again at once, or deletes, renames or creates.
    Answer UserOpenForWriting(const std::u16string& path);
    Answer UserOpenForDeleting(const std::u16string& path);
    Answer UserDelete(const std::u16string& path);
    Answer UserRename(const std::u16string& from, const std::u16string& to);
    Answer UserCreate(const std::u16string& path, std::vector<std::uint8_t> bytes);

    // platform::Files
    std::uint32_t GetOwnPath(char16_t* buffer, std::uint32_t capacity) override;
    std::uint32_t GetTempDirectory(char16_t* buffer, std::uint32_t capacity) override;
    platform::FileHandle OpenForReading(const char16_t* path) override;
    platform::FileHandle CreateNew(const char16_t* path) override;
    platform::FileHandle OpenAndHold(const char16_t* path) override;
    platform::FileHandle OpenForDeleting(const char16_t* path) override;
    bool GetIdentity(platform::FileHandle file, platform::FileIdentity* identity) override;
    bool Seek(platform::FileHandle file, std::int64_t distance, platform::SeekOrigin origin,
              std::int64_t* newPosition) override;
    bool Read(platform::FileHandle file, void* buffer, std::uint32_t size,
              std::uint32_t* bytesRead) override;
    bool Write(platform::FileHandle file, const void* buffer, std::uint32_t size,
               std::uint32_t* bytesWritten) override;
    void Close(platform::FileHandle file) override;
    bool DeleteOpened(platform::FileHandle file) override;
    platform::DeleteOutcome Delete(const char16_t* path) override;

    // Text files for other fakes (the private-profile files live in this file system).
    std::string ReadText(const std::u16string& path) const;
    void WriteText(const std::u16string& path, const std::string& text);

    // The key under which a path is stored.
    static std::u16string Normalize(const std::u16string& path);

private:
    // Access and sharing, as bits.
    static constexpr std::uint8_t kRead = 1, kWrite = 2, kDelete = 4;

    struct Entry {
        std::u16string name;
        std::vector<std::uint8_t> bytes;
        std::uint64_t index = 0;
        bool launcherCreated = false;
        bool deletePending = false;
    };
    struct OpenFile {
        std::u16string key;
        std::int64_t position = 0;
        std::uint8_t access = 0;
        std::uint8_t share = 0;
    };

    OpenFile* Find(platform::FileHandle file);
    Entry& Put(const std::u16string& path, std::vector<std::uint8_t> bytes);
    // Whether an open with `access` and `share` clashes with a handle or a running program.
    bool SharingClash(const std::u16string& key, std::uint8_t access, std::uint8_t share) const;
    platform::FileHandle Open(const std::u16string& key, std::uint8_t access, std::uint8_t share);
    Answer UserOpen(const std::u16string& path, std::uint8_t access);

    CallLog& log_;
    std::u16string ownPath_;
    std::u16string tempDirectory_ = kTempFolder;
    std::map<std::u16string, Entry> files_;
    std::map<std::uintptr_t, OpenFile> open_;
    std::multiset<std::u16string> running_;
    std::uintptr_t nextHandle_ = 0x100;
    std::uint64_t nextIndex_ = 1;
    std::map<std::uint32_t, std::uint32_t> readLimits_;
    std::map<std::uint32_t, std::uint32_t> writeLimits_;
    std::set<std::uint32_t> readShortenings_;
    std::set<std::uint32_t> writeShortenings_;
    std::set<std::u16string> held_;
    std::uint64_t startedImage_ = 0;  // the entry's index; 0 for none
};

}  // namespace wrapper::fake
