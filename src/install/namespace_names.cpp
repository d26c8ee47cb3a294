#include "install/namespace_names.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "platform/system_root.h"

namespace install {
namespace {

// A job label is the base name of its job file without ".plist", so the two can never disagree.
std::string label_of(const std::string& job_file) {
    return std::filesystem::path(job_file).stem().string();
}

}  // namespace

namespace_names_t::namespace_names_t(std::string qv_namespace) : namespace_(std::move(qv_namespace)) {}

std::string namespace_names_t::svc_file_path() const {
    return platform::system_path("/Library/LaunchDaemons/com.trellwick." + namespace_ + ".service.plist");
}

std::string namespace_names_t::svc_label() const {
    return label_of(svc_file_path());
}

std::string namespace_names_t::agent_file_path() const {
    return platform::system_path("/Library/LaunchAgents/com.trellwick." + namespace_ + ".Frontend.plist");
}

std::string namespace_names_t::agent_label() const {
    return label_of(agent_file_path());
}

std::string namespace_names_t::global_config_dir() const {
    // Joined as one path component: exactly one "/" between, and nothing added for an empty namespace.
    const auto component =
        std::string_view(namespace_).substr(std::min(namespace_.find_first_not_of('/'), namespace_.size()));
    std::string dir = platform::system_path("/etc");
    if (!component.empty()) {
        dir += '/';
        dir += component;
    }
    return dir;
}

std::string namespace_names_t::global_trace_file() const {
    return platform::system_path("/var/log/" + namespace_ + ".trace");
}

std::string namespace_names_t::helper_job_label() const {
    std::string hyphenated = namespace_;
    std::replace(hyphenated.begin(), hyphenated.end(), '_', '-');
    return "com.trellwick." + hyphenated + ".Helper";
}

std::string namespace_names_t::hub_agent_file() const {
    return platform::system_path("/Library/LaunchAgents/com.trellwick." + namespace_ + ".Hub.plist");
}

std::string namespace_names_t::wrapper_tool() const {
    return platform::system_path("/usr/local/bin/qvwrap_" + namespace_);
}

}  // namespace install
