#pragma once

namespace wrapper::platform {

class Shell {
public:
    // Opens `url` with the system's default handler (verb "open", shown normally).
    // Whether the handler could be started is not reported.
    virtual void OpenUrl(const char16_t* url) = 0;

protected:
    ~Shell() = default;
};

}  // namespace wrapper::platform
