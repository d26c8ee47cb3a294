#include <pthread.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "support/client_text.h"
#include "support/trace_log.h"
#include "trace_fixture.h"

namespace {

using support_tests::trace_file_test_t;
using support_tests::write_record;

class TraceRecord : public trace_file_test_t {};

// Runs `body` on a new thread carrying `name` ("" leaves it nameless).
template <class Body>
void run_on_named_thread(const std::string& name, Body body) {
    std::thread thread([&] {
        pthread_setname_np(pthread_self(), name.c_str());
        body();
    });
    thread.join();
}

TEST_F(TraceRecord, LineHasEveryFieldInItsColumns) {
    const std::regex line_pattern(
        R"(^(.{7}) (\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) (.{10}) (.{6}) ( *\d+) ( *\d+) (.{4}) )"
        R"((.{32}) - (.*)$)");
    std::time_t before = 0;
    std::time_t after = 0;
    pid_t writer_thread_id = 0;
    run_on_named_thread("qvtest", [&] {
        writer_thread_id = gettid();
        support::set_thread_trace_tag(42);
        before = std::time(nullptr);
        write_record(6, "install", "copied %s in %d steps", "/Applications/Quorvix.app", 3);
        after = std::time(nullptr);
    });

    const auto lines = this->lines();
    ASSERT_EQ(lines.size(), 1U);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, line_pattern)) << lines[0];
    EXPECT_EQ(m[1], "   info");
    std::tm fields{};
    fields.tm_year = std::stoi(m[2]) - 1900;
    fields.tm_mon = std::stoi(m[3]) - 1;
    fields.tm_mday = std::stoi(m[4]);
    fields.tm_hour = std::stoi(m[5]);
    fields.tm_min = std::stoi(m[6]);
    fields.tm_sec = std::stoi(m[7]);
    const std::time_t stamped = timegm(&fields);
    EXPECT_TRUE(stamped >= before && stamped <= after) << "record time is not the UTC time of writing";
    EXPECT_EQ(m[9], "    helper");
    EXPECT_EQ(m[10], "qvtest");
    EXPECT_GE(m[11].length(), 6);
    EXPECT_EQ(std::stoul(m[11]), static_cast<unsigned long>(getpid()));
    EXPECT_GE(m[12].length(), 6);
    EXPECT_EQ(std::stoul(m[12]), static_cast<unsigned long>(writer_thread_id));
    EXPECT_EQ(m[13], "  42");
    EXPECT_EQ(m[14], std::string(25, ' ') + "install");
    EXPECT_EQ(m[15], "copied /Applications/Quorvix.app in 3 steps");
}

TEST_F(TraceRecord, LevelsAboveThresholdAreDroppedExceptVerbose) {
    struct level_case_t {
        int level;
        const char* shown_as;  // nullptr: not written
    };
    const level_case_t cases[] = {
        {0, "invalid"}, {1, "explode"}, {2, "auth"},  {3, "crash"},   {4, "error"},  {5, "warning"},
        {6, "info"},    {7, nullptr},   {8, nullptr}, {9, "verbose"}, {10, nullptr}, {-1, "invalid"},
    };
    for (const auto& c : cases) {
        write_record(c.level, "levels", "level %d", c.level);
    }
    std::string expected_levels;
    std::string written_levels;
    for (const auto& c : cases) {
        if (c.shown_as != nullptr) {
            expected_levels += std::string(c.shown_as) + " " + std::to_string(c.level) + ";";
        }
    }
    for (const auto& line : lines()) {
        const std::size_t first = line.find_first_not_of(' ');
        written_levels +=
            line.substr(first, line.find(' ', first) - first) + " " + line.substr(line.rfind(' ') + 1) + ";";
    }
    EXPECT_EQ(written_levels, expected_levels);
}

TEST_F(TraceRecord, ThreadNamesShowProductNameAsMain) {
    struct name_case_t {
        const char* thread_name;
        const char* shown_as;
    };
    const name_case_t cases[] = {
        {"quorvix", "  main"}, {"quorvixd", "quorvixd"}, {"quorvi", "quorvi"},
        {"io", "    io"},      {"", "      "},
    };
    for (const auto& c : cases) {
        run_on_named_thread(c.thread_name, [&] { write_record(6, "names", "from %s", c.thread_name); });
    }
    const auto lines = this->lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i].find("    helper " + std::string(cases[i].shown_as) + " "), std::string::npos)
            << "thread \"" << cases[i].thread_name << "\": " << lines[i];
    }
}

TEST_F(TraceRecord, OverlongTextsAreCutAndEveryRecordKeepsItsLine) {
    const std::string long_message(2000, 'm');
    const std::string long_format(1500, 'f');
    const std::string long_name(300, 'n');
    write_record(6, "cut", "%s", long_message.c_str());
    write_record(6, "cut", long_format.c_str(), 0);
    write_record(6, long_name.c_str(), "%s", long_message.c_str());
    write_record(6, "after", "next record");

    const auto lines = this->lines();
    ASSERT_EQ(lines.size(), 4U) << "an overlong line swallowed the line feed of its record";
    EXPECT_EQ(lines[0].substr(lines[0].find(" - ") + 3), std::string(1023, 'm'));
    EXPECT_EQ(lines[1].substr(lines[1].find(" - ") + 3), std::string(1023, 'f'));
    EXPECT_EQ(lines[2].size(), 1150U);
    EXPECT_NE(lines[2].find(long_name + " - mmm"), std::string::npos);
    EXPECT_NE(lines[3].find(" after - next record"), std::string::npos);
}

}  // namespace

std::string repeated(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t n = 0; n < times; ++n) {
        out += text;
    }
    return out;
}

TEST_F(TraceRecord, ClientTextIsEscapedAndBoundedSoThatItCannotForgeARecord) {
    struct escape_case_t {
        const char* what;
        std::string sent;
        std::string shown;
    };
    const escape_case_t escapes[] = {
        {"line feed",
         "ns\n   info 2026-01-01 00:00:00.000     helper   main      1      1      install - Install done",
         "ns\\n   info 2026-01-01 00:00:00.000     helper   main      1      1      install - Install done"},
        {"C0 controls", "cr\r tab\t esc\x1b[2J soh\x01 us\x1f", "cr\\r tab\\t esc\\x1b[2J soh\\x01 us\\x1f"},
        {"DEL", "del\x7f", "del\\x7f"},
        {"backslash", "back\\n slash", "back\\\\n slash"},
        {"C1 controls", "\xc2\x80 \xc2\x85 \xc2\x9f", "\\u0080 \\u0085 \\u009f"},
        {"line and paragraph separators", "\xe2\x80\xa8 \xe2\x80\xa9", "\\u2028 \\u2029"},
        {"embeddings and overrides", "\xe2\x80\xaa \xe2\x80\xae", "\\u202a \\u202e"},
        {"isolates", "\xe2\x81\xa6 \xe2\x81\xa9", "\\u2066 \\u2069"},
        {"left-to-right and right-to-left marks", "\xe2\x80\x8e \xe2\x80\x8f", "\\u200e \\u200f"},
        {"Arabic letter mark", "\xd8\x9c", "\\u061c"},
        {"byte order mark", "\xef\xbb\xbf", "\\ufeff"},
        {"no UTF-8",
         "stray \x80 \xff overlong \xc0\xaf \xc1\xbf \xe0\x80\xaf \xf0\x80\x80\xaf surrogate \xed\xa0\x80 "
         "too large \xf4\x90\x80\x80 \xf5\x80\x80\x80 cut \xe2\x80",
         "stray \\x80 \\xff overlong \\xc0\\xaf \\xc1\\xbf \\xe0\\x80\\xaf \\xf0\\x80\\x80\\xaf surrogate "
         "\\xed\\xa0\\x80 too large \\xf4\\x90\\x80\\x80 \\xf5\\x80\\x80\\x80 cut \\xe2\\x80"},
        {"kept, next to escaped ones",
         "\xc3\xa9 \xf0\x9f\x98\x80 \xc2\xa0 \xe2\x80\x8d \xe2\x80\xa7 \xe2\x80\xaf \xe2\x81\xaa",
         "\xc3\xa9 \xf0\x9f\x98\x80 \xc2\xa0 \xe2\x80\x8d \xe2\x80\xa7 \xe2\x80\xaf \xe2\x81\xaa"},
        // Escapes grow the message; it is cut before an escape that does not fit whole.
        {"message cut before an escape", std::string(1000, '\n'), repeated("\\n", 511)},
    };
    for (const auto& c : escapes) {
        write_record(6, "client", "%s", c.sent.c_str());
    }

    // A client text is escaped, then cut: whatever it holds, the fields after it stay in the record.
    using support::client_text_t;
    const std::string accented = std::string(255, 'a') + "\xc3\xa9" + std::string(100, 'z');
    struct bound_case_t {
        const char* what;
        std::string sent;
        std::string shown;  // as the record shows it
    };
    const bound_case_t bounds[] = {
        {"at the limit", std::string(256, 'x'), std::string(256, 'x')},
        {"past the limit", std::string(900, 'x'), std::string(256, 'x') + "... [cut, 900 bytes]"},
        {"a character across the limit", accented, std::string(255, 'a') + "... [cut, 357 bytes]"},
        {"NUL", std::string("ab\0cd", 5), "ab... [cut, 5 bytes]"},
        {"controls", std::string(300, '\x01'), repeated("\\x01", 64) + "... [cut, 300 bytes]"},
        {"backslashes", std::string(300, '\\'), repeated("\\\\", 128) + "... [cut, 300 bytes]"},
        {"marks", repeated("\xe2\x80\x8f", 100), repeated("\\u200f", 42) + "... [cut, 300 bytes]"},
        {"an escape across the limit", "a" + std::string(200, '\n'),
         "a" + repeated("\\n", 127) + "... [cut, 201 bytes]"},
    };
    for (const auto& c : bounds) {
        write_record(6, "bounded", "%s %s pid %d", client_text_t(c.sent).c_str(),
                     client_text_t(c.sent).c_str(), 4242);
    }
    EXPECT_STREQ(client_text_t(std::optional<std::string>()).c_str(), "(null)");

    const auto lines = this->lines();
    ASSERT_EQ(lines.size(), std::size(escapes) + std::size(bounds))
        << "client text started a record of its own";
    for (std::size_t i = 0; i < std::size(escapes); ++i) {
        EXPECT_EQ(lines[i].substr(lines[i].find(" client - ") + 10), escapes[i].shown) << escapes[i].what;
    }
    for (std::size_t i = 0; i < std::size(bounds); ++i) {
        const std::string& line = lines[std::size(escapes) + i];
        EXPECT_EQ(line.substr(line.find(" bounded - ") + 11),
                  bounds[i].shown + " " + bounds[i].shown + " pid 4242")
            << bounds[i].what;
    }
}
