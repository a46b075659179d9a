#pragma once

// How the tools' functions say "failed, and why": a value, or the one-line phrase with the
// system's reason that the tool prints (callers add which input or output it was about).
//
//   Expected<Inspection> inspected = InspectPackage(path);
//   if (!inspected) return Fail(inspected.error());
//   Use(*inspected);
//
// Status is the same for a step that gives no value. Both are [[nodiscard]]: a failure is
// never dropped by forgetting to look.

#include <optional>
#include <string>
#include <utility>

namespace wrapper::tools::host {

// The failure a function returns in place of its value: `return Unexpected{"..."};`.
struct Unexpected {
    std::string message;
};

template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : value_(std::move(value)) {}
    Expected(Unexpected failure) : error_(std::move(failure.message)) {}

    bool has_value() const { return value_.has_value(); }
    explicit operator bool() const { return value_.has_value(); }

    // The value; only when there is one.
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

    // Why there is no value; only when there is none.
    const std::string& error() const { return error_; }

private:
    std::optional<T> value_;
    std::string error_;
};

template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(Unexpected failure) : failed_(true), error_(std::move(failure.message)) {}

    bool has_value() const { return !failed_; }
    explicit operator bool() const { return !failed_; }
    const std::string& error() const { return error_; }

private:
    bool failed_ = false;
    std::string error_;
};

using Status = Expected<void>;

}  // namespace wrapper::tools::host
