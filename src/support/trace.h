#pragma once
// Trace records: one line per record in the process-wide trace file (see trace_log.h).

#include <cstdarg>

#include "support/client_text.h"

namespace support {

// Called once, when a record first needs the handle's name; the text is copied.
using trace_name_provider = const char* (*)();

// A record handle. Its name is fetched from the provider under the trace log's lock, once.
struct trace_t {
    explicit trace_t(trace_name_provider provider) : name_provider(provider) {}
    ~trace_t();
    trace_t(const trace_t&) = delete;
    trace_t& operator=(const trace_t&) = delete;

    char* name = nullptr;
    bool name_owned = false;
    trace_name_provider name_provider = nullptr;
    bool enabled = true;
    bool second_flag = false;
};

// Levels 6, 5 and 4. A value from a client is always an argument, never the format.
void trace_info(trace_t& trace, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_warning(trace_t& trace, const char* format, ...) __attribute__((format(printf, 2, 3)));
void trace_error(trace_t& trace, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace support
