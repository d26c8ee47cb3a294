// Feeds untrusted datagrams to every QVX1 decoder, against the helper's own interface; a decoded request must
// encode back to the same bytes.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/exported_interface.h"
#include "platform/xpc/wire.h"

namespace {

namespace xpc = platform::xpc;

constexpr xpc::interface_t kInterface = core::kExportedInterface;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> message(data, size);
    static_cast<void>(xpc::decode_header(message));
    static_cast<void>(xpc::decode_hello(message));
    static_cast<void>(xpc::decode_hello_echo(message));
    for (char type : {'B', 'c', 'i', '@', 'D'}) {
        static_cast<void>(xpc::decode_reply(message, type));
    }
    const auto request = xpc::decode_request(message, kInterface);
    if (request) {
        // Every accepted request has one canonical encoding, so nothing was skipped or misread.
        const auto again =
            xpc::encode_request(request->call_id, request->method->selector, request->arguments);
        if (again.size() != size || !std::equal(again.begin(), again.end(), data)) {
            std::abort();
        }
    }
    return 0;
}
