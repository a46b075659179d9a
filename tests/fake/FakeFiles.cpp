#include "FakeFiles.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace wrapper::fake {

std::u16string FakeFiles::Normalize(const std::u16string& path) {
    std::u16string key;
    for (char16_t c : path) {
        if (c == u'/') c = u'\\';
        if (c == u'\\' && !key.empty() && key.back() == u'\\') continue;
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        key.push_back(c);
    }
    return key;
}

void FakeFiles::AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes) {
    files_[Normalize(path)] = {path, std::move(bytes)};
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
    auto& entry = files_[Normalize(path)];
    if (entry.name.empty()) entry.name = path;
    entry.bytes.assign(text.begin(), text.end());
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

std::uint32_t FakeFiles::GetTempDirectory(std::uint32_t capacity, char16_t* buffer) {
    if (log_.Record(Call::GetTempDirectory)) return 0;
    // Like the system: too small a buffer gets the size needed, terminator included.
    if (tempDirectory_.size() >= capacity) return static_cast<std::uint32_t>(tempDirectory_.size() + 1);
    std::copy(tempDirectory_.begin(), tempDirectory_.end(), buffer);
    buffer[tempDirectory_.size()] = u'\0';
    return static_cast<std::uint32_t>(tempDirectory_.size());
}

platform::FileHandle FakeFiles::OpenForReading(const char16_t* path) {
    if (log_.Record(Call::OpenForReading)) return {};
    const std::u16string key = Normalize(path);
    if (key.empty() || files_.count(key) == 0) return {};
    const std::uintptr_t handle = nextHandle_++;
    open_[handle] = {key, 0, false};
    return {handle};
}

platform::FileHandle FakeFiles::CreateNew(const char16_t* path) {
    if (log_.Record(Call::CreateNew)) return {};
    const std::u16string key = Normalize(path);
    if (key.empty() || files_.count(key) != 0) return {};
    files_[key] = {path, {}};
    const std::uintptr_t handle = nextHandle_++;
    open_[handle] = {key, 0, true};
    return {handle};
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
    if (open == nullptr || !open->writable) return false;
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
    if (open_.erase(file.value) == 0) throw std::logic_error("closing a file that is not open");
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
    // The system refuses to delete a file that is open without delete sharing.
    if (held_.count(key) != 0) return DeleteOutcome::Failed;
    for (const auto& [handle, open] : open_) {
        if (open.key == key) return DeleteOutcome::Failed;
    }
    files_.erase(key);
    return DeleteOutcome::Deleted;
}

bool FakeFiles::DeleteAtRestart(const char16_t* path) {
    if (log_.Record(Call::DeleteAtRestart)) return false;
    if (files_.count(Normalize(path)) == 0) return false;
    restartDeletions_.push_back(path);
    return true;
}

}  // namespace wrapper::fake
