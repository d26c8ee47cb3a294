// The code the helper serves and installs: whatever satisfies the requirement in its own information list.
#include <memory>

#include "core/helper_tool.h"
#include "install/bundle_path.h"
#include "platform/codesign/codesign.h"
#include "platform/user_files.h"

namespace core {
namespace {

namespace codesign = platform::codesign;

platform::os_status_t check_code(int executable, const std::optional<std::string>& requirement_text) {
    if (!requirement_text) {
        return platform::errSecCSReqInvalid;
    }
    std::unique_ptr<codesign::requirement_t> requirement;
    if (const auto status = codesign::create_requirement_with_string(*requirement_text, requirement);
        status != platform::errSecSuccess) {
        return status;
    }
    std::unique_ptr<codesign::code_t> code;
    if (const auto status = codesign::create_static_code_with_fd(executable, code);
        status != platform::errSecSuccess) {
        return status;
    }
    return codesign::check_validity(code.get(), *requirement);
}

}  // namespace

std::optional<std::string> helper_tool_t::client_requirement() const {
    const auto clients = main_bundle().info().get("SMAuthorizedClients");
    if (!clients || clients->type() != platform::plist_type_t::array || clients->size() == 0) {
        return std::nullopt;
    }
    const auto last = clients->at(clients->size() - 1);
    return last ? last->as_string() : std::nullopt;
}

platform::owned_fd_t helper_tool_t::_openClientExecutable(int bundle, const std::string& bundle_path) {
    platform::owned_fd_t executable = platform::open_regular_file_below(bundle, install::kBundleExecutable);
    const platform::os_status_t status = executable.valid()
                                             ? check_code(executable.get(), client_requirement())
                                             : platform::errSecCSNoSuchCode;
    if (status != platform::errSecSuccess) {
        trace_error(_trace, "Install failed: %s is not the application's signed code (%s)",
                    support::client_text_t(install::bundle_executable(bundle_path)).c_str(),
                    std::string(codesign::status_description(status)).c_str());
        executable.reset();
    }
    return executable;
}

}  // namespace core
