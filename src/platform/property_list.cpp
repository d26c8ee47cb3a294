#include "platform/property_list.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <utility>

#include "platform/file_io.h"

namespace platform {
namespace {

// Job files and information lists are a few kilobytes. Paths to them can come from clients, so a huge
// file there must not make the helper read gigabytes.
constexpr std::size_t kLargestFile = 16 * 1024 * 1024;

// libplist hands out strings, keys, iterators and serialised documents allocated with malloc.
struct malloc_deleter_t {
    void operator()(void* memory) const { std::free(memory); }
};
using malloc_string_t = std::unique_ptr<char, malloc_deleter_t>;

struct xml_deleter_t {
    void operator()(char* xml) const { plist_to_xml_free(xml); }
};

// libplist keeps integers as 64-bit patterns and only its serialiser knows whether one with the top bit
// set was written as a negative number or as an unsigned one above INT64_MAX.
bool is_negative_integer(::plist_t node, std::uint64_t bits) {
    if (bits <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return false;
    }
    ::plist_t copy = plist_copy(node);
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(copy, &xml, &length);
    plist_free(copy);
    const std::unique_ptr<char, xml_deleter_t> owned(xml);
    return xml != nullptr && std::string_view(xml, length).find("<integer>-") != std::string_view::npos;
}

}  // namespace

plist_type_t plist_value_t::type() const {
    if (node_ == nullptr) {
        return plist_type_t::other;
    }
    switch (plist_get_node_type(node_)) {
        case PLIST_DICT:
            return plist_type_t::dictionary;
        case PLIST_ARRAY:
            return plist_type_t::array;
        case PLIST_STRING:
            return plist_type_t::string;
        case PLIST_BOOLEAN:
            return plist_type_t::boolean;
        case PLIST_UINT:
            return plist_type_t::integer;
        case PLIST_REAL:
            return plist_type_t::real;
        case PLIST_DATE:
            return plist_type_t::date;
        case PLIST_DATA:
            return plist_type_t::data;
        default:
            return plist_type_t::other;
    }
}

std::optional<std::string> plist_value_t::as_string() const {
    if (type() != plist_type_t::string) {
        return std::nullopt;
    }
    char* raw = nullptr;
    plist_get_string_val(node_, &raw);
    const malloc_string_t owned(raw);
    if (raw == nullptr) {
        return std::nullopt;
    }
    return std::string(raw);
}

std::optional<bool> plist_value_t::as_bool() const {
    if (type() != plist_type_t::boolean) {
        return std::nullopt;
    }
    std::uint8_t value = 0;
    plist_get_bool_val(node_, &value);
    return value != 0;
}

std::optional<double> plist_value_t::as_number() const {
    switch (type()) {
        case plist_type_t::boolean:
            return *as_bool() ? 1.0 : 0.0;
        case plist_type_t::integer: {
            std::uint64_t bits = 0;
            plist_get_uint_val(node_, &bits);
            if (is_negative_integer(node_, bits)) {
                return static_cast<double>(static_cast<std::int64_t>(bits));
            }
            return static_cast<double>(bits);
        }
        case plist_type_t::real: {
            double value = 0;
            plist_get_real_val(node_, &value);
            return value;
        }
        default:
            return std::nullopt;
    }
}

std::optional<plist_value_t> plist_value_t::get(std::string_view key) const {
    if (type() != plist_type_t::dictionary) {
        return std::nullopt;
    }
    const std::string key_text(key);
    ::plist_t item = plist_dict_get_item(node_, key_text.c_str());
    if (item == nullptr) {
        return std::nullopt;
    }
    return plist_value_t(item);
}

std::optional<std::string> plist_value_t::string_for_key(std::string_view key) const {
    const auto item = get(key);
    return item ? item->as_string() : std::nullopt;
}

std::vector<std::string> plist_value_t::keys() const {
    std::vector<std::string> result;
    if (type() != plist_type_t::dictionary) {
        return result;
    }
    plist_dict_iter raw_iterator = nullptr;
    plist_dict_new_iter(node_, &raw_iterator);
    const std::unique_ptr<void, malloc_deleter_t> iterator(raw_iterator);
    for (;;) {
        char* raw_key = nullptr;
        ::plist_t item = nullptr;
        plist_dict_next_item(node_, raw_iterator, &raw_key, &item);
        const malloc_string_t key(raw_key);
        if (item == nullptr || raw_key == nullptr) {
            break;
        }
        result.emplace_back(raw_key);
    }
    return result;
}

std::optional<plist_value_t> plist_value_t::at(std::size_t index) const {
    if (type() != plist_type_t::array || index >= size()) {
        return std::nullopt;
    }
    ::plist_t item = plist_array_get_item(node_, static_cast<std::uint32_t>(index));
    if (item == nullptr) {
        return std::nullopt;
    }
    return plist_value_t(item);
}

std::size_t plist_value_t::size() const {
    switch (type()) {
        case plist_type_t::dictionary:
            return plist_dict_get_size(node_);
        case plist_type_t::array:
            return plist_array_get_size(node_);
        default:
            return 0;
    }
}

property_list_t::~property_list_t() {
    if (node_ != nullptr) {
        plist_free(node_);
    }
}

property_list_t::property_list_t(property_list_t&& other) noexcept : node_(other.release()) {}

property_list_t& property_list_t::operator=(property_list_t&& other) noexcept {
    if (this != &other) {
        if (node_ != nullptr) {
            plist_free(node_);
        }
        node_ = other.release();
    }
    return *this;
}

::plist_t property_list_t::release() {
    return std::exchange(node_, nullptr);
}

property_list_t property_list_t::dictionary() {
    return property_list_t(plist_new_dict());
}

property_list_t property_list_t::array() {
    return property_list_t(plist_new_array());
}

property_list_t property_list_t::string(std::string_view value) {
    return property_list_t(plist_new_string(std::string(value).c_str()));
}

property_list_t property_list_t::boolean(bool value) {
    return property_list_t(plist_new_bool(value ? 1 : 0));
}

property_list_t property_list_t::integer(std::int64_t value) {
    // A negative value travels as its two's-complement pattern, which is how libplist stores it.
    return property_list_t(plist_new_uint(static_cast<std::uint64_t>(value)));
}

property_list_t property_list_t::string_array(const std::vector<std::string>& values) {
    property_list_t result = array();
    for (const auto& value : values) {
        result.append(string(value));
    }
    return result;
}

std::optional<property_list_t> property_list_t::parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    ::plist_t node = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &node);
    if (node == nullptr) {
        return std::nullopt;
    }
    return property_list_t(node);
}

std::optional<property_list_t> property_list_t::read_file(const std::string& path) {
    const auto bytes = read_whole_file(path, kLargestFile);
    if (!bytes) {
        return std::nullopt;
    }
    return parse(*bytes);
}

void property_list_t::set(std::string_view key, property_list_t value) {
    if (value.empty() || root().type() != plist_type_t::dictionary) {
        return;
    }
    plist_dict_set_item(node_, std::string(key).c_str(), value.release());
}

void property_list_t::append(property_list_t value) {
    if (value.empty() || root().type() != plist_type_t::array) {
        return;
    }
    plist_array_append_item(node_, value.release());
}

std::optional<std::string> property_list_t::to_xml() const {
    if (node_ == nullptr) {
        return std::nullopt;
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node_, &xml, &length);
    const std::unique_ptr<char, xml_deleter_t> owned(xml);
    if (xml == nullptr) {
        return std::nullopt;
    }
    return std::string(xml, length);
}

bool property_list_t::write_xml(const std::string& path) const {
    const auto xml = to_xml();
    return xml && write_file_in_place(path, *xml);
}

bool property_list_t::write_xml_atomically(const std::string& path) const {
    const auto xml = to_xml();
    return xml && write_file_atomically(path, *xml);
}

}  // namespace platform
