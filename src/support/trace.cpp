#include "support/trace.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/trace_log.h"

namespace support {
namespace {

// The handle whose provider this thread is running, so that a provider tracing through its own handle
// gets an unnamed record instead of endless recursion.
thread_local const trace_t* naming_in_progress = nullptr;

// Called with the trace log's lock held, so that a handle shared by several threads is named once.
const char* handle_name(trace_t& trace) {
    if (trace.name != nullptr || trace.name_provider == nullptr || naming_in_progress == &trace) {
        return trace.name == nullptr ? "" : trace.name;
    }
    // The format of the record being written may live in the scratch area, and the provider may use it.
    char saved[kTraceScratchSize];
    std::memcpy(saved, thread_scratch_area(), sizeof saved);
    naming_in_progress = &trace;
    const char* provided = trace.name_provider();
    naming_in_progress = nullptr;
    char* copy = provided == nullptr ? nullptr : strdup(provided);
    std::memcpy(thread_scratch_area(), saved, sizeof saved);
    if (copy == nullptr) {
        return "";
    }
    trace.name = copy;
    trace.name_owned = true;
    return trace.name;
}

void write_record(trace_t& trace, int level, const char* format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

void write_record(trace_t& trace, int level, const char* format, va_list arguments) {
    if (!trace.enabled) {
        return;
    }
    std::lock_guard guard(trace_log().lock);
    trace_write(level, handle_name(trace), format, arguments);
}

}  // namespace

trace_t::~trace_t() {
    if (name_owned) {
        std::free(name);
    }
}

void trace_info(trace_t& trace, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_record(trace, kTraceLevelInfo, format, arguments);
    va_end(arguments);
}

void trace_warning(trace_t& trace, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_record(trace, kTraceLevelWarning, format, arguments);
    va_end(arguments);
}

void trace_error(trace_t& trace, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_record(trace, kTraceLevelError, format, arguments);
    va_end(arguments);
}

}  // namespace support
