// Namespace validation and the identity of application bundles.
#include <regex>

#include "core/helper_tool.h"

namespace core {
namespace {

constexpr std::string_view kHelperSuffix = ".Helper";

const std::regex& namespace_form() {
    static const std::regex form("^[a-zA-Z0-9_]*$", std::regex::ECMAScript | std::regex::optimize);
    return form;
}

}  // namespace

bool helper_tool_t::_validateQVNamespace(const string_arg_t& qv_namespace) {
    // Matched against the whole string as it came: nothing trimmed, so "abc\n" fails.
    return qv_namespace && std::regex_match(*qv_namespace, namespace_form());
}

std::optional<std::string> helper_tool_t::_appVersionAtPath(const std::string& bundle_path) const {
    const auto bundle = platform::bundle_t::open(bundle_path);
    return bundle ? bundle->short_version() : std::nullopt;
}

std::string helper_tool_t::app_bundle() const {
    std::string identifier = main_bundle().identifier().value_or("");
    if (identifier.ends_with(kHelperSuffix)) {
        identifier.resize(identifier.size() - kHelperSuffix.size());
    }
    return identifier;
}

}  // namespace core
