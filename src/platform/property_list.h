#pragma once
// Stand-in for NSPropertyListSerialization: libplist trees behind an owning handle and a view.
// Reads XML and binary property lists; writes XML.

#include <plist/plist.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class plist_type_t { dictionary, array, string, boolean, integer, real, date, data, other };

// A non-owning view of one node of a tree owned by a property_list_t.
class plist_value_t {
public:
    explicit plist_value_t(::plist_t node) : node_(node) {}

    [[nodiscard]] plist_type_t type() const;
    [[nodiscard]] std::optional<std::string> as_string() const;
    [[nodiscard]] std::optional<bool> as_bool() const;  // booleans only
    // Any number object: a boolean (0 or 1), an integer or a real.
    [[nodiscard]] std::optional<double> as_number() const;

    // Dictionaries.
    [[nodiscard]] std::optional<plist_value_t> get(std::string_view key) const;
    [[nodiscard]] std::optional<std::string> string_for_key(std::string_view key) const;
    [[nodiscard]] std::vector<std::string> keys() const;

    // Arrays.
    [[nodiscard]] std::optional<plist_value_t> at(std::size_t index) const;

    // Entries of a dictionary or items of an array; 0 for anything else.
    [[nodiscard]] std::size_t size() const;

private:
    ::plist_t node_;
};

// Owns a whole tree.
class property_list_t {
public:
    property_list_t() = default;
    ~property_list_t();
    property_list_t(property_list_t&& other) noexcept;
    property_list_t& operator=(property_list_t&& other) noexcept;
    property_list_t(const property_list_t&) = delete;
    property_list_t& operator=(const property_list_t&) = delete;

    [[nodiscard]] static property_list_t dictionary();
    [[nodiscard]] static property_list_t array();
    [[nodiscard]] static property_list_t string(std::string_view value);
    [[nodiscard]] static property_list_t boolean(bool value);
    [[nodiscard]] static property_list_t integer(std::int64_t value);
    [[nodiscard]] static property_list_t string_array(const std::vector<std::string>& values);

    // XML or binary; absent when the bytes are not a property list.
    [[nodiscard]] static std::optional<property_list_t> parse(std::string_view bytes);
    // Absent also when the path is no regular file or holds more than 16 MiB.
    [[nodiscard]] static std::optional<property_list_t> read_file(const std::string& path);

    [[nodiscard]] bool empty() const { return node_ == nullptr; }
    [[nodiscard]] plist_value_t root() const { return plist_value_t(node_); }

    // Dictionary root: sets key to value (replacing any earlier value). Array root: appends.
    void set(std::string_view key, property_list_t value);
    void append(property_list_t value);

    [[nodiscard]] std::optional<std::string> to_xml() const;
    // Writes the XML form over the file in place.
    [[nodiscard]] bool write_xml(const std::string& path) const;
    // Writes the XML form to a temporary file beside `path` and renames it over `path`.
    [[nodiscard]] bool write_xml_atomically(const std::string& path) const;

private:
    explicit property_list_t(::plist_t node) : node_(node) {}
    ::plist_t release();

    ::plist_t node_ = nullptr;
};

}  // namespace platform
