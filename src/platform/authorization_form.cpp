#include "platform/authorization_form.h"

#include <sys/random.h>
#include <unistd.h>

#include <cstring>

#include "platform/process_info.h"

namespace platform {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'V', 'A', 'U'};
constexpr std::uint16_t kVersion = 1;

template <typename T>
void put(authorization_external_form_t& form, std::size_t offset, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        form[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

template <typename T>
T get(std::span<const std::uint8_t> bytes, std::size_t offset) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(bytes[offset + i]) << (8 * i);
    }
    return value;
}

}  // namespace

authorization_external_form_t encode_authorization_form(const authorization_subject_t& subject) {
    authorization_external_form_t form{};
    std::memcpy(form.data(), kMagic.data(), kMagic.size());
    put<std::uint16_t>(form, 4, kVersion);
    put<std::uint16_t>(form, 6, 0);
    put<std::uint32_t>(form, 8, subject.pid);
    put<std::uint32_t>(form, 12, subject.uid);
    put<std::uint64_t>(form, 16, subject.start_time);
    // The random tail makes two forms of one process distinct; nothing checks it.
    if (getrandom(form.data() + 24, 8, 0) != 8) {
        std::memset(form.data() + 24, 0, 8);
    }
    return form;
}

std::optional<authorization_subject_t> decode_authorization_form(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kAuthorizationExternalFormLength ||
        std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0 ||
        get<std::uint16_t>(bytes, 4) != kVersion || get<std::uint16_t>(bytes, 6) != 0) {
        return std::nullopt;
    }
    return authorization_subject_t{get<std::uint32_t>(bytes, 8), get<std::uint32_t>(bytes, 12),
                                   get<std::uint64_t>(bytes, 16)};
}

std::optional<authorization_external_form_t> make_authorization_form_for_self() {
    const auto start_time = process_start_time(getpid());
    if (!start_time) {
        return std::nullopt;
    }
    return encode_authorization_form(
        {static_cast<std::uint32_t>(getpid()), static_cast<std::uint32_t>(geteuid()), *start_time});
}

}  // namespace platform
