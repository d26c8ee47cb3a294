#pragma once
// Every label and path of one installation, formed from its namespace. A request makes one from its own
// namespace argument and never reads names back from the helper's shared current namespace, which a
// request on another connection may change meanwhile. Paths lie under the system root.

#include <string>

namespace install {

class namespace_names_t {
public:
    explicit namespace_names_t(std::string qv_namespace);

    [[nodiscard]] const std::string& qv_namespace() const { return namespace_; }

    // "/Library/LaunchDaemons/com.trellwick.<N>.service.plist" and its label, the base name without ".plist".
    [[nodiscard]] std::string svc_file_path() const;
    [[nodiscard]] std::string svc_label() const;
    // "/Library/LaunchAgents/com.trellwick.<N>.Frontend.plist" and its label.
    [[nodiscard]] std::string agent_file_path() const;
    [[nodiscard]] std::string agent_label() const;
    // "/etc" joined with N as one path component.
    [[nodiscard]] std::string global_config_dir() const;
    // "/var/log/<N>.trace".
    [[nodiscard]] std::string global_trace_file() const;
    // "com.trellwick.<N with every _ made ->.Helper".
    [[nodiscard]] std::string helper_job_label() const;
    // Files of earlier versions: "/Library/LaunchAgents/com.trellwick.<N>.Hub.plist",
    // "/usr/local/bin/qvwrap_<N>".
    [[nodiscard]] std::string hub_agent_file() const;
    [[nodiscard]] std::string wrapper_tool() const;

private:
    std::string namespace_;
};

}  // namespace install
