#include "FakeFiles.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace wrapper::fake {

char16_t FoldCase(char16_t unit) {
    // Capitals a fixed distance below their small letters: ASCII, Latin-1 (not the
    // multiplication sign), Greek (not the unassigned U+03A2), Cyrillic.
    if ((unit >= u'A' && unit <= u'Z') || (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) ||
        (unit >= 0x391 && unit <= 0x3A9 && unit != 0x3A2) || (unit >= 0x410 && unit <= 0x42F)) {
        return static_cast<char16_t>(unit + 0x20);
    }
    if (unit >= 0x400 && unit <= 0x40F) return static_cast<char16_t>(unit + 0x50);
    // Latin Extended-A: capital and small letter side by side, the capital first; the
    // pairs change step at U+0139 and U+0179. U+0130 and U+0131 (dotted and dotless i)
    // and U+0138 (kra) have no partner here.
    if (unit == 0x178) return 0xFF;  // Ÿ
    const bool capitalEven = (unit >= 0x100 && unit <= 0x12F) || (unit >= 0x132 && unit <= 0x137) ||
                             (unit >= 0x14A && unit <= 0x177);
    const bool capitalOdd = (unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E);
    if ((capitalEven && unit % 2 == 0) || (capitalOdd && unit % 2 == 1)) {
        return static_cast<char16_t>(unit + 1);
    }
    return unit;
}

std::u16string FakeFiles::Normalize(const std::u16string& path) {
    std::u16string key;
    // The \\?\ prefix: the rest is taken literally, so an empty component (a doubled
    // separator) names no file; the prefix itself goes, and \\?\UNC\ stands for \\.
    if (path.rfind(u"\\\\?\\", 0) == 0) {
        std::u16string rest = path.substr(4);
        if (rest.rfind(u"UNC\\", 0) == 0) rest = u"\\" + rest.substr(3);
        if (rest.find(u"\\\\", 1) != std::u16string::npos) return {};
        return Normalize(rest);
    }
    for (char16_t c : path) {
        if (c == u'/') c = u'\\';
        if (c == u'\\' && !key.empty() && key.back() == u'\\') continue;
        key.push_back(FoldCase(c));
    }
    return key;
}

FakeFiles::Entry& FakeFiles::Put(const std::u16string& path, std::vector<std::uint8_t> bytes) {
    Entry& entry = files_[Normalize(path)];
    entry = {path, std::move(bytes), nextIndex_++, false};
    return entry;
}

void FakeFiles::AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes) {
    const std::uint64_t index = Put(path, std::move(bytes)).index;
    if (startedImage_ == 0 && !ownPath_.empty() && Normalize(path) == Normalize(ownPath_)) {
        startedImage_ = index;
    }
}

void FakeFiles::SetOwnPath(std::u16string path) {
    ownPath_ = std::move(path);
    if (startedImage_ == 0 && Exists(ownPath_)) SetStartedImage(ownPath_);
}

void FakeFiles::SetStartedImage(const std::u16string& path) {
    startedImage_ = files_.at(Normalize(path)).index;
}

bool FakeFiles::IsStartedImage(platform::FileHandle file) {
    const OpenFile* open = Find(file);
    return open != nullptr && startedImage_ != 0 && files_.at(open->key).index == startedImage_;
}


bool FakeFiles::Exists(const std::u16string& path) const {
    return files_.count(Normalize(path)) != 0;
}

const std::vector<std::uint8_t>& FakeFiles::Bytes(const std::u16string& path) const {
    const auto it = files_.find(Normalize(path));
    if (it == files_.end()) throw std::out_of_range("no such fake file");
    return it->second.bytes;
}

std::vector<std::u16string> FakeFiles::Paths() const {
    std::vector<std::u16string> paths;
    for (const auto& [key, entry] : files_) paths.push_back(entry.name);
    return paths;
}

std::string FakeFiles::ReadText(const std::u16string& path) const {
    const auto it = files_.find(Normalize(path));
    if (it == files_.end()) return {};
    return std::string(it->second.bytes.begin(), it->second.bytes.end());
}

void FakeFiles::WriteText(const std::u16string& path, const std::string& text) {
    const auto it = files_.find(Normalize(path));
    if (it == files_.end()) {
        Put(path, {text.begin(), text.end()});
    } else {
        it->second.bytes.assign(text.begin(), text.end());
    }
}

bool FakeFiles::SharingClash(const std::u16string& key, std::uint8_t access,
                             std::uint8_t share) const {
    for (const auto& [handle, open] : open_) {
        if (open.key != key) continue;
        if ((access & ~open.share) != 0 || (open.access & ~share) != 0) return true;
    }
    // A running program's file: the system reads it, sharing reading and deleting (though
    // a delete is refused on its own account).
    if (running_.count(key) != 0 && ((access & kWrite) != 0 || (share & kRead) == 0)) return true;
    return false;
}

platform::FileHandle FakeFiles::Open(const std::u16string& key, std::uint8_t access,
                                     std::uint8_t share) {
    const auto it = files_.find(key);
    if (it == files_.end() || it->second.deletePending || SharingClash(key, access, share)) {
        return {};
    }
    const std::uintptr_t handle = nextHandle_++;
    open_[handle] = {key, 0, access, share};
    return {handle};
}

bool FakeFiles::StartProgram(const std::u16string& path) {
    const std::u16string key = Normalize(path);
    if (key.empty() || files_.count(key) == 0 || SharingClash(key, kRead, kRead | kDelete)) {
        return false;
    }
    running_.insert(key);
    return true;
}

void FakeFiles::StopProgram(const std::u16string& path) {
    const auto it = running_.find(Normalize(path));
    if (it != running_.end()) running_.erase(it);
}

Answer FakeFiles::UserOpen(const std::u16string& path, std::uint8_t access) {
    const std::u16string key = Normalize(path);
    const auto it = files_.find(key);
    if (it == files_.end()) return Answer::NotFound;
    // Deleting needs no right on the file: the user may delete what lies in its folders.
    if ((access & kWrite) != 0 && it->second.launcherCreated) return Answer::AccessDenied;
    // Others are left to share whatever they like.
    return SharingClash(key, access, kRead | kWrite | kDelete) ? Answer::SharingViolation
                                                                : Answer::Done;
}

Answer FakeFiles::UserOpenForWriting(const std::u16string& path) { return UserOpen(path, kWrite); }

Answer FakeFiles::UserOpenForDeleting(const std::u16string& path) { return UserOpen(path, kDelete); }

Answer FakeFiles::UserDelete(const std::u16string& path) {
    const Answer answer = UserOpen(path, kDelete);
    if (answer != Answer::Done) return answer;
    const std::u16string key = Normalize(path);
    if (running_.count(key) != 0) return Answer::AccessDenied;
    files_.erase(key);
    return Answer::Done;
}

Answer FakeFiles::UserRename(const std::u16string& from, const std::u16string& to) {
    const Answer answer = UserOpen(from, kDelete);
    if (answer != Answer::Done) return answer;
    const std::u16string oldKey = Normalize(from);
    const std::u16string newKey = Normalize(to);
    if (files_.count(newKey) != 0) return Answer::AlreadyExists;
    Entry entry = std::move(files_.at(oldKey));
    entry.name = to;
    files_.erase(oldKey);
    files_[newKey] = std::move(entry);
    // Handles and a running program stay with the file, not with the name.
    for (auto& [handle, open] : open_) {
        if (open.key == oldKey) open.key = newKey;
    }
    for (auto count = running_.count(oldKey); count > 0; --count) {
        running_.erase(running_.find(oldKey));
        running_.insert(newKey);
    }
    return Answer::Done;
}

Answer FakeFiles::UserCreate(const std::u16string& path, std::vector<std::uint8_t> bytes) {
    if (files_.count(Normalize(path)) != 0) return Answer::AlreadyExists;
    Put(path, std::move(bytes));
    return Answer::Done;
}

FakeFiles::OpenFile* FakeFiles::Find(platform::FileHandle file) {
    const auto it = open_.find(file.value);
    return it == open_.end() ? nullptr : &it->second;
}

std::uint32_t FakeFiles::GetOwnPath(char16_t* buffer, std::uint32_t capacity) {
    if (log_.Record(Call::GetOwnPath) || ownPath_.size() >= capacity) return 0;
    std::copy(ownPath_.begin(), ownPath_.end(), buffer);
    buffer[ownPath_.size()] = u'\0';
    return static_cast<std::uint32_t>(ownPath_.size());
}

std::uint32_t FakeFiles::GetTempDirectory(char16_t* buffer, std::uint32_t capacity) {
    if (log_.Record(Call::GetTempDirectory)) return 0;
    // Like the system: too small a buffer gets the size needed, terminator included.
    if (tempDirectory_.size() >= capacity) return static_cast<std::uint32_t>(tempDirectory_.size() + 1);
    std::copy(tempDirectory_.begin(), tempDirectory_.end(), buffer);
    buffer[tempDirectory_.size()] = u'\0';
    return static_cast<std::uint32_t>(tempDirectory_.size());
}

platform::FileHandle FakeFiles::OpenForReading(const char16_t* path) {
    if (log_.Record(Call::OpenForReading)) return {};
    return Open(Normalize(path), kRead, kRead);
}

platform::FileHandle FakeFiles::CreateNew(const char16_t* path) {
    if (log_.Record(Call::CreateNew)) return {};
    const std::u16string key = Normalize(path);
    if (key.empty() || files_.count(key) != 0) return {};
    Put(path, {}).launcherCreated = true;
    return Open(key, kRead | kWrite | kDelete, kRead);
}

platform::FileHandle FakeFiles::OpenAndHold(const char16_t* path) {
    if (log_.Record(Call::OpenAndHold)) return {};
    return Open(Normalize(path), kRead, kRead);
}

platform::FileHandle FakeFiles::OpenForDeleting(const char16_t* path) {
    if (log_.Record(Call::OpenForDeleting)) return {};
    return Open(Normalize(path), kDelete, kRead);
}

bool FakeFiles::GetIdentity(platform::FileHandle file, platform::FileIdentity* identity) {
    if (log_.Record(Call::GetIdentity)) return false;
    const OpenFile* open = Find(file);
    if (open == nullptr) return false;
    *identity = {kVolumeSerial, files_.at(open->key).index};
    return true;
}

bool FakeFiles::Seek(platform::FileHandle file, std::int64_t distance, platform::SeekOrigin origin,
                     std::int64_t* newPosition) {
    if (log_.Record(Call::Seek)) return false;
    OpenFile* open = Find(file);
    if (open == nullptr) return false;
    std::int64_t base = 0;
    switch (origin) {
        case platform::SeekOrigin::Begin: base = 0; break;
        case platform::SeekOrigin::Current: base = open->position; break;
        case platform::SeekOrigin::End:
            base = static_cast<std::int64_t>(files_.at(open->key).bytes.size());
            break;
    }
    // A move beyond the largest position fails like one before the start.
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, distance, &target) || target < 0) return false;
    open->position = target;
    if (newPosition != nullptr) *newPosition = target;
    return true;
}

bool FakeFiles::Read(platform::FileHandle file, void* buffer, std::uint32_t size,
                     std::uint32_t* bytesRead) {
    *bytesRead = 0;
    if (log_.Record(Call::Read)) return false;
    OpenFile* open = Find(file);
    if (open == nullptr) return false;
    const auto& bytes = files_.at(open->key).bytes;
    const auto fileSize = static_cast<std::int64_t>(bytes.size());
    std::int64_t available = open->position >= fileSize ? 0 : fileSize - open->position;
    std::int64_t count = std::min<std::int64_t>(available, size);
    if (const auto limit = readLimits_.find(log_.Count(Call::Read)); limit != readLimits_.end()) {
        count = std::min<std::int64_t>(count, limit->second);
    }
    if (count > 0 && readShortenings_.count(log_.Count(Call::Read)) != 0) --count;
    if (count > 0) std::memcpy(buffer, bytes.data() + open->position, static_cast<std::size_t>(count));
    open->position += count;
    *bytesRead = static_cast<std::uint32_t>(count);
    return true;
}

bool FakeFiles::Write(platform::FileHandle file, const void* buffer, std::uint32_t size,
                      std::uint32_t* bytesWritten) {
    *bytesWritten = 0;
    if (log_.Record(Call::Write)) return false;
    OpenFile* open = Find(file);
    if (open == nullptr || (open->access & kWrite) == 0) return false;
    std::uint32_t count = size;
    if (const auto limit = writeLimits_.find(log_.Count(Call::Write)); limit != writeLimits_.end()) {
        count = std::min(count, limit->second);
    }
    if (count > 0 && writeShortenings_.count(log_.Count(Call::Write)) != 0) --count;
    auto& bytes = files_.at(open->key).bytes;
    const auto end = static_cast<std::size_t>(open->position) + count;
    if (bytes.size() < end) bytes.resize(end);
    if (count > 0) std::memcpy(bytes.data() + open->position, buffer, count);
    open->position += count;
    *bytesWritten = count;
    return true;
}

void FakeFiles::Close(platform::FileHandle file) {
    log_.Record(Call::Close);
    const auto it = open_.find(file.value);
    if (it == open_.end()) throw std::logic_error("closing a file that is not open");
    const std::u16string key = it->second.key;
    open_.erase(it);
    // A file deleted through a handle goes with the last one.
    const auto entry = files_.find(key);
    if (entry == files_.end() || !entry->second.deletePending) return;
    for (const auto& [handle, open] : open_) {
        if (open.key == key) return;
    }
    files_.erase(entry);
}

void FakeFiles::Hold(const std::u16string& path, bool held) {
    if (held) {
        held_.insert(Normalize(path));
    } else {
        held_.erase(Normalize(path));
    }
}

platform::DeleteOutcome FakeFiles::Delete(const char16_t* path) {
    using platform::DeleteOutcome;
    if (log_.Record(Call::Delete)) return DeleteOutcome::Failed;
    const std::u16string key = Normalize(path);
    if (files_.count(key) == 0) return DeleteOutcome::NotFound;
    // The system refuses to delete a file that is open without delete sharing, or a
    // running program's.
    if (held_.count(key) != 0 || running_.count(key) != 0 ||
        SharingClash(key, kDelete, kRead | kWrite | kDelete)) {
        return DeleteOutcome::Failed;
    }
    files_.erase(key);
    return DeleteOutcome::Deleted;
}

bool FakeFiles::DeleteOpened(platform::FileHandle file) {
    if (log_.Record(Call::DeleteOpened)) return false;
    const OpenFile* open = Find(file);
    if (open == nullptr || (open->access & kDelete) == 0) return false;
    // The system refuses while a program started from the file is still mapped.
    if (held_.count(open->key) != 0 || running_.count(open->key) != 0) return false;
    files_.at(open->key).deletePending = true;
    return true;
}

}  // namespace wrapper::fake
