#pragma once
// A trace log pointed at a fresh temporary file, put back to its initial state afterwards.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdarg>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures/sandbox.h"
#include "support/trace_log.h"

namespace support_tests {

// Splits text into lines without their line feeds; a last line without one is kept.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline void write_record(int level, const char* name, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
inline void write_record(int level, const char* name, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    support::trace_write(level, name, format, arguments);
    va_end(arguments);
}

class trace_file_test_t : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "qv-trace-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        path_ = (directory_ / "quorvix.trace").string();
        support::trace_log_init();
        support::set_trace_path(path_.c_str());
        support::set_process_name("helper");
    }

    void TearDown() override {
        support::trace_log_init();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }
    [[nodiscard]] std::string content() const { return fixtures::read_text_file(path_); }
    [[nodiscard]] std::vector<std::string> lines() const { return split_lines(content()); }

private:
    std::filesystem::path directory_;
    std::string path_;
};

}  // namespace support_tests
