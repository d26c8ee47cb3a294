#pragma once
// Identity constants of the product, shared by the trace log, shared-memory names and install paths.

namespace support {

// Forms the shared-memory names and their registry directory.
inline constexpr char kProductPrefix[] = "qv";
// Forms the trace file name, the per-user trace directory and the main thread's name.
inline constexpr char kProductName[] = "quorvix";

}  // namespace support
