#pragma once
// A private temporary directory for one test, removed with everything in it afterwards.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace platform_test {

class scratch_directory_t {
public:
    scratch_directory_t() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qv-platform-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~scratch_directory_t() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_directory_t(const scratch_directory_t&) = delete;
    scratch_directory_t& operator=(const scratch_directory_t&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] std::string operator/(std::string_view name) const {
        return path_ + "/" + std::string(name);
    }

private:
    std::string path_;
};

}  // namespace platform_test
