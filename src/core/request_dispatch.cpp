#include "core/request_dispatch.h"

#include <exception>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "commands/task.h"
#include "platform/codesign/codesign.h"
#include "platform/xpc/connection.h"

namespace core {
namespace {

using platform::xpc::value_t;

// The wire type code of each handler parameter type.
template <typename T>
constexpr char code_of() {
    if constexpr (std::is_same_v<T, bool>) {
        return 'B';
    } else if constexpr (std::is_same_v<T, signed char>) {
        return 'c';
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return 'i';
    } else if constexpr (std::is_same_v<T, string_arg_t>) {
        return '@';
    } else if constexpr (std::is_same_v<T, data_arg_t>) {
        return 'D';
    } else {
        static_assert(!sizeof(T), "no wire type for this handler parameter");
    }
}

template <typename Reply>
struct reply_value;
template <typename R>
struct reply_value<std::function<void(R)>> {
    using type = R;
};

// A handler is `void (helper_tool_t::*)(arguments..., const reply_t<R>&)`.
template <typename Handler>
struct handler_traits;
template <typename... Params>
struct handler_traits<void (helper_tool_t::*)(Params...)> {
    using params_t = std::tuple<std::remove_cvref_t<Params>...>;
    static constexpr std::size_t arity = sizeof...(Params) - 1;
    using reply_type = typename reply_value<std::tuple_element_t<arity, params_t>>::type;

    template <std::size_t I>
    using argument_t = std::tuple_element_t<I, params_t>;

    static constexpr bool matches(const request_spec_t& row) {
        if (row.argument_types.size() != arity || row.reply_type != code_of<reply_type>()) {
            return false;
        }
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((row.argument_types[I] == code_of<argument_t<I>>()) && ...);
        }
        (std::make_index_sequence<arity>{});
    }
};

// The value a request answers when it could not run.
value_t failure_value(char reply_type) {
    switch (reply_type) {
        case 'B':
            return false;
        case 'i':
            return std::int32_t{-1};
        default:
            return std::optional<std::string>{};
    }
}

// Sends at most one reply, whoever calls first: the handler, or the boundary after a failure.
class reply_once_t {
public:
    explicit reply_once_t(const send_reply_t& send) : send_(send) {}
    void operator()(const value_t& value) {
        if (!*sent_) {
            *sent_ = true;
            send_(value);
        }
    }
    [[nodiscard]] bool sent() const { return *sent_; }

private:
    send_reply_t send_;
    std::shared_ptr<bool> sent_ = std::make_shared<bool>(false);
};

using invoke_t = void (*)(helper_tool_t&, const std::vector<value_t>&, reply_once_t&);

template <auto Handler>
void invoke(helper_tool_t& helper, const std::vector<value_t>& arguments, reply_once_t& reply) {
    using traits = handler_traits<decltype(Handler)>;
    using R = typename traits::reply_type;
    const reply_t<R> typed_reply = [reply](R value) mutable { reply(value_t(std::move(value))); };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (helper.*Handler)(std::get<typename traits::template argument_t<I>>(arguments[I])..., typed_reply);
    }
    (std::make_index_sequence<traits::arity>{});
}

struct route_t {
    request_id_t id;
    invoke_t invoke;
};

template <request_id_t Id, auto Handler>
constexpr route_t route() {
    static_assert(handler_traits<decltype(Handler)>::matches(request_spec(Id)),
                  "handler parameters do not match the request table");
    return {Id, &invoke<Handler>};
}

using enum request_id_t;
constexpr std::array<route_t, kRequests.size()> kRoutes = {{
    route<get_version, &helper_tool_t::get_version_with_reply>(),
    route<install_service, &helper_tool_t::install_quorvix_service_with>(),
    route<install, &helper_tool_t::install_quorvix_with_auth_data>(),
    route<uninstall, &helper_tool_t::uninstall_quorvix_with_auth_data>(),
    route<fix_max_files, &helper_tool_t::fixOSMaxFilesIfNeedAndReply>(),
    route<restart, &helper_tool_t::restart_quorvix_with_bundle_path>(),
    route<reboot, &helper_tool_t::reboot_computer_for_username>(),
    route<start_service, &helper_tool_t::start_service_with_namespace>(),
    route<is_service_installed, &helper_tool_t::is_service_installed_with_namespace>(),
    route<is_service_disabled, &helper_tool_t::is_service_disabled_with_namespace>(),
    route<is_service_run_at_load, &helper_tool_t::is_service_run_at_load_with_namespace>(),
    route<set_tray_enabled, &helper_tool_t::set_tray_enabled>(),
    route<quit_service, &helper_tool_t::quit_service>(),
    route<fix_config_permissions, &helper_tool_t::fix_config_permissions>(),
    route<check_global_settings_auth, &helper_tool_t::check_global_settings_auth>(),
    route<set_darkwake_mode, &helper_tool_t::set_darkwake_mode>(),
    route<is_autostart_enabled, &helper_tool_t::isAutostartEnabledForNamespace>(),
    route<set_autostart_enabled, &helper_tool_t::setAutostartEnabled>(),
}};

static_assert(
    [] {
        for (std::size_t i = 0; i < kRoutes.size(); ++i) {
            if (kRoutes[i].id != kRequests[i].id) {
                return false;
            }
        }
        return true;
    }(),
    "routes must follow the request table's order");

// The tracer rule holds for a client's whole life, not only at admission: before a request that can change
// something, a peer that a tracer has since attached to loses its connection, with one record. A peer that
// has simply gone needs no record.
[[nodiscard]] bool peer_keeps_hardened_runtime(helper_tool_t& helper, platform::xpc::connection_t& connection,
                                               const request_spec_t& row) {
    std::string reason;
    const platform::os_status_t status =
        platform::codesign::check_admitted_guest(connection.peer_status_file(), &reason);
    if (status == platform::errSecSuccess) {
        return true;
    }
    if (status != platform::errSecCSNoSuchCode) {
        trace_warning(helper.trace(), "Connection of process %d cut off before %.*s: %s",
                      static_cast<int>(connection.process_identifier()),
                      static_cast<int>(row.selector.size()), row.selector.data(), reason.c_str());
    }
    connection.invalidate();
    return false;
}

}  // namespace

void dispatch_request(helper_tool_t& helper, const platform::xpc::request_t& request,
                      const send_reply_t& send_reply) {
    const auto id = request_for_selector(request.method->selector);
    if (!id) {
        return;  // the codec only lets exported selectors through
    }
    const request_spec_t& row = request_spec(*id);
    const route_t& route = kRoutes[static_cast<std::size_t>(*id)];
    reply_once_t reply(send_reply);
    try {
        route.invoke(helper, request.arguments, reply);
    } catch (const commands::launch_error& error) {
        trace_error(helper.trace(), "Request %.*s could not start a system tool: %s",
                    static_cast<int>(row.selector.size()), row.selector.data(),
                    support::client_text_t(error.what()).c_str());
        reply(failure_value(row.reply_type));
    } catch (const std::exception& error) {
        trace_error(helper.trace(), "Request %.*s failed: %s", static_cast<int>(row.selector.size()),
                    row.selector.data(), support::client_text_t(error.what()).c_str());
        reply(failure_value(row.reply_type));
    }
}

void export_requests(helper_tool_t& helper, platform::xpc::connection_t& connection) {
    connection.set_exported_interface(kExportedInterface);
    connection.set_exported_object([self = helper.shared_from_this()](const platform::xpc::request_t& request,
                                                                      platform::xpc::reply_t reply) {
        const auto id = request_for_selector(request.method->selector);
        const auto connection = platform::xpc::current_connection();
        if (!id || !connection ||
            (request_spec(*id).effect == effect_t::changes &&
             !peer_keeps_hardened_runtime(*self, *connection, request_spec(*id)))) {
            return;
        }
        dispatch_request(*self, request, [reply](const value_t& value) { reply(value); });
    });
    // A refused message ends the connection; the record says why.
    connection.set_protocol_error_handler([self = helper.shared_from_this()](std::string_view reason) {
        trace_warning(self->trace(), "Connection invalidated, message refused: %.*s",
                      static_cast<int>(reason.size()), reason.data());
    });
}

}  // namespace core
