#pragma once

namespace wrapper::platform {

// Opening a web page for the user. The launcher runs elevated, and a program it starts
// itself inherits that: so the page is handed to the desktop shell, which runs with the
// signed-in user's normal rights, and opened from the launcher only where there is none.
class Shell {
public:
    // Initialises COM on the calling thread, apartment-threaded and without OLE1 DDE, as the
    // shell asks of its callers. True when it did; EndCom must then follow, on this thread.
    virtual bool BeginCom() = 0;
    virtual void EndCom() = 0;

    // Asks the desktop shell's own process to open `url` with the verb "open", shown
    // normally, through its automation objects: the shell windows, the desktop's browser,
    // its active view, the view's dispatch and the shell's ShellExecute. Needs COM. False
    // when any step fails, for example where no desktop shell runs (a deployment service
    // running as SYSTEM, a server without one); then nothing was opened.
    virtual bool OpenUrlAsDesktopUser(const char16_t* url) = 0;

    // Opens `url` from this process with the system's default handler (verb "open", shown
    // normally); the handler runs with this process's rights. Whether the handler could be
    // started is not reported.
    virtual void OpenUrl(const char16_t* url) = 0;

protected:
    ~Shell() = default;
};

// Keeps COM initialised on this thread from construction to destruction, when it could be.
class ComScope {
public:
    explicit ComScope(Shell& shell) : shell_(shell), initialised_(shell.BeginCom()) {}
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() {
        if (initialised_) shell_.EndCom();
    }

    explicit operator bool() const { return initialised_; }

private:
    Shell& shell_;
    bool initialised_;
};

}  // namespace wrapper::platform
