#pragma once

#include <cstdint>

namespace wrapper::platform {

class Clock {
public:
    // The current time in whole seconds since 1970-01-01 00:00 UTC.
    virtual std::uint64_t SecondsSince1970() = 0;

    // Blocks the calling thread for about `milliseconds`.
    virtual void Pause(std::uint32_t milliseconds) = 0;

protected:
    ~Clock() = default;
};

}  // namespace wrapper::platform
