// A producer tool's services may throw (std::bad_alloc at the least), and the tools call
// the launcher's logic with them: an exception must unwind through that logic to the
// tool's handler. Built for the host and for Windows as the tools are; exits 0 when the
// exception arrived, and ends in std::terminate (or 1) when it did not.

#include "handoff/LandingPage.h"
#include "platform/ProfileFiles.h"

#include <cstdio>
#include <stdexcept>

namespace {

class ThrowingProfiles final : public wrapper::platform::ProfileFiles {
public:
    bool WriteString(const char16_t*, const char16_t*, const char*, const char16_t*) override {
        throw std::runtime_error("write");
    }
    std::uint32_t ReadString(const char16_t*, const char16_t*, char*, std::uint32_t,
                             const char16_t*) override {
        throw std::runtime_error("read");
    }
};

}  // namespace

int main() {
    ThrowingProfiles profiles;
    try {
        wrapper::handoff::ReadLanguageSegment(profiles, u"C:\\App");
    } catch (const std::runtime_error& caught) {
        std::printf("caught \"%s\" through the logic\n", caught.what());
        return 0;
    }
    std::printf("the logic returned although its service threw\n");
    return 1;
}
