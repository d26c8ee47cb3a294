// Namespace validation and the identity of application bundles.
#include <algorithm>

#include "core/helper_tool.h"

namespace core {
namespace {

constexpr std::string_view kHelperSuffix = ".Helper";

// ASCII letters, digits and underscores only, whatever the locale says a letter is.
bool is_namespace_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool helper_tool_t::_validateQVNamespace(const string_arg_t& qv_namespace) {
    // Matched against the whole string as it came: nothing trimmed, so "abc\n" fails.
    return qv_namespace && std::ranges::all_of(*qv_namespace, is_namespace_character);
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
