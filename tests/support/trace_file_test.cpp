#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/trace_log.h"
#include "trace_fixture.h"

namespace {

using support_tests::split_lines;
using support_tests::trace_file_test_t;
using support_tests::write_record;

class TraceFile : public trace_file_test_t {
protected:
    void prefill(const std::string& text) const {
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << text;
    }
};

// Numbered lines, so that any shifted or repeated byte range shows.
std::string numbered_text(std::size_t size) {
    std::string text;
    for (std::size_t n = 0; text.size() < size; ++n) {
        text += "filler line " + std::to_string(n) + "\n";
    }
    text.resize(size - 1);
    return text + "\n";
}

TEST_F(TraceFile, CutsFileToNewestBytesPastDefaultLimit) {
    const std::string filler = numbered_text(1'048'500);
    prefill(filler);
    write_record(6, "cut", "the record that crosses the limit");

    const std::string cut = content();
    ASSERT_EQ(cut.size(), 943'719U);
    const std::string line = cut.substr(cut.rfind('\n', cut.size() - 2) + 1);
    EXPECT_NE(line.find(" - the record that crosses the limit\n"), std::string::npos);
    const std::size_t kept_filler = cut.size() - line.size();
    EXPECT_EQ(cut.substr(0, kept_filler), filler.substr(filler.size() - kept_filler))
        << "the cut file does not hold the newest bytes";
}

TEST_F(TraceFile, CutsOnlyWhenFileGrowsPastLimit) {
    // Records from one thread with one message all have the same length.
    write_record(6, "limit", "same size");
    const std::size_t line_size = content().size();
    constexpr std::uint32_t kLimit = 10'000;

    struct limit_case_t {
        std::size_t size_after_record;
        std::size_t expected_size;
    };
    const limit_case_t cases[] = {
        {kLimit - 1, kLimit - 1},
        {kLimit, kLimit},
        {kLimit + 1, kLimit - kLimit / 10},
        {kLimit + 5000, kLimit - kLimit / 10},
    };
    for (const auto& c : cases) {
        prefill(numbered_text(c.size_after_record - line_size));
        support::trace_log().size_limit = kLimit;
        write_record(6, "limit", "same size");
        const std::string after = content();
        EXPECT_EQ(after.size(), c.expected_size) << "file of " << c.size_after_record << " bytes";
        EXPECT_NE(after.find(" - same size\n", after.size() - line_size), std::string::npos);
    }
}

TEST_F(TraceFile, RemovedFileKeepsReceivingRecordsWithoutBeingRecreated) {
    write_record(6, "unlink", "before removal");
    const int descriptor = support::trace_log().descriptor;
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(unlink(path().c_str()), 0);

    write_record(6, "unlink", "after removal");
    EXPECT_FALSE(std::filesystem::exists(path())) << "the removed trace file was created again";
    EXPECT_EQ(support::trace_log().descriptor, descriptor);
    const auto lines = split_lines(fixtures::read_text_file("/proc/self/fd/" + std::to_string(descriptor)));
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_NE(lines[1].find(" - after removal"), std::string::npos);
}

TEST_F(TraceFile, UnopenableFileReportsOnStandardErrorAndRetriesNextRecord) {
    const std::string missing_directory = (directory() / "not-yet").string();
    support::set_trace_path((missing_directory + "/quorvix.trace").c_str());

    testing::internal::CaptureStderr();
    write_record(4, "lost", "record one");
    write_record(4, "lost", "record two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error opening logfile (2)\nLogging error.Error opening logfile (2)\nLogging error.");

    std::filesystem::create_directory(missing_directory);
    write_record(4, "kept", "record three");
    const auto lines = split_lines(fixtures::read_text_file(missing_directory + "/quorvix.trace"));
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_NE(lines[0].find(" - record three"), std::string::npos);
}

}  // namespace
