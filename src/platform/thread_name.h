#pragma once
// Stand-in for pthread_getname_np on the calling thread. A Linux main thread's name is the process's own
// (renaming it renames the process), so it counts as unnamed, as a main thread that never named itself
// does on macOS.

#include <cstddef>

namespace platform {

// The calling thread's name into `out` (at most size - 1 characters and a NUL); empty when it has none.
void current_thread_name(char* out, std::size_t size) noexcept;

}  // namespace platform
