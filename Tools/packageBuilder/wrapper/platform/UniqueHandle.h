#pragma once

namespace wrapper::platform {

// Owns one open handle and closes it exactly once, through the service that opened it.
// Move-only. `Traits` names the service (`Owner`), its handle type (`Handle`, which is
// false when empty) and how it is closed (`static void Close(Owner&, Handle)`). Each kind
// of handle has its own traits, so an owner of a key never takes a file.
template <class Traits>
class UniqueHandle {
public:
    using Owner = typename Traits::Owner;
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    UniqueHandle(Owner& owner, Handle handle) : owner_(&owner), handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : owner_(other.owner_), handle_(other.handle_) {
        other.handle_ = {};
    }
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            owner_ = other.owner_;
            handle_ = other.handle_;
            other.handle_ = {};
        }
        return *this;
    }
    ~UniqueHandle() { Reset(); }

    Handle Get() const { return handle_; }
    explicit operator bool() const { return static_cast<bool>(handle_); }

    // Gives the handle up without closing it, for a caller that closes it itself.
    Handle Release() {
        const Handle handle = handle_;
        handle_ = {};
        return handle;
    }

    // Closes the handle now, if one is held.
    void Reset() {
        if (handle_) {
            Traits::Close(*owner_, handle_);
            handle_ = {};
        }
    }

private:
    Owner* owner_ = nullptr;
    Handle handle_{};
};

}  // namespace wrapper::platform
