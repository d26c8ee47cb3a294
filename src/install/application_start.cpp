// Starting the installed application again at the end of an install.
#include <atomic>
#include <chrono>
#include <memory>
#include <semaphore>

#include "core/helper_tool.h"
#include "platform/bundle.h"
#include "platform/workspace.h"

namespace core {
namespace {

constexpr std::chrono::seconds kStartWaitLimit{2};

// Shared with the completion handler, which may run after the start has returned and must then still
// find both alive.
struct start_outcome_t {
    std::atomic<bool> started{true};
    std::binary_semaphore answered{0};
};

}  // namespace

bool helper_tool_t::_start_app_at_path(const std::string& bundle_path) {
    // 1. Only the application's own bundle is started.
    const auto bundle = platform::bundle_t::open(bundle_path);
    const auto identifier = bundle ? bundle->identifier() : std::nullopt;
    if (!identifier || *identifier != app_bundle()) {
        trace_error(_trace, "Not starting the application: the bundle is not the application's");
        return false;
    }
    if (deps_.workspace == nullptr) {
        trace_error(_trace, "Not starting the application: no workspace service");
        return false;
    }

    // 2. Started until the platform says otherwise.
    const auto outcome = std::make_shared<start_outcome_t>();

    // 3.-4. The workspace always starts a new instance, also beside a running one. The handler keeps
    // the helper alive for its late record.
    deps_.workspace->open_application(
        bundle_path, [self = shared_from_this(), outcome, bundle_path](std::optional<std::string> error) {
            // 6.
            if (error) {
                outcome->started.store(false);
                trace_warning(self->_trace, "Cannot start the application at %s: %s",
                              support::client_text_t(bundle_path).c_str(),
                              support::client_text_t(*error).c_str());
            }
            outcome->answered.release();
        });

    // 5.
    (void)outcome->answered.try_acquire_for(kStartWaitLimit);

    // 7. Without an answer in time the start counts as done.
    return outcome->started.load();
}

}  // namespace core
