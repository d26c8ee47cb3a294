#pragma once
// Stand-in for NSWorkspace openApplicationAtURL:configuration:completionHandler: with a configuration that
// asks for a new instance: the bundle's executable started detached, in a session of its own.

#include <functional>
#include <optional>
#include <string>

namespace platform {

class workspace_t {
public:
    // Called once: no error when the application was started, else the error's description. It may run
    // on another thread, after open_application has returned.
    using completion_t = std::function<void(std::optional<std::string> error)>;

    virtual ~workspace_t() = default;
    // Starts a new instance of the application at the bundle path, even when one is running already.
    virtual void open_application(const std::string& bundle_path, completion_t completion) = 0;
};

// Runs <bundle>/Contents/MacOS/Quorvix with standard input and output on /dev/null. A root helper starts
// it as the console user and never as root; without a console user it runs as the helper's own user.
class process_workspace_t final : public workspace_t {
public:
    using console_user_lookup_t = std::function<std::optional<std::string>()>;

    // The lookup names the console user; the real one asks the login manager.
    explicit process_workspace_t(console_user_lookup_t console_user);
    process_workspace_t();

    void open_application(const std::string& bundle_path, completion_t completion) override;

private:
    console_user_lookup_t console_user_;
};

}  // namespace platform
