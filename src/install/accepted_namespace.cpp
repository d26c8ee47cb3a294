#include "install/accepted_namespace.h"

#include "core/helper_tool.h"

namespace install {

std::optional<namespace_names_t> accepted_namespace(const std::optional<std::string>& qv_namespace) {
    if (!core::helper_tool_t::_validateQVNamespace(qv_namespace) || qv_namespace->empty()) {
        return std::nullopt;
    }
    return namespace_names_t(*qv_namespace);
}

}  // namespace install
