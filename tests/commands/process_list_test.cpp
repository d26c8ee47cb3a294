#include "commands/process_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace commands {
namespace {

struct parsed_line_case_t {
    const char* name;
    std::string line;
    std::string pid;
    pid_t process_id;
    std::string arg;
    std::string exe;
};

TEST(ProcessList, ReadsPidFlagAndExecutableFromBothEnds) {
    const std::vector<parsed_line_case_t> cases = {
        {"plain", "  412 /Applications/Quorvix.app/Contents/MacOS/Quorvix", "412", 412, "",
         "/Applications/Quorvix.app/Contents/MacOS/Quorvix"},
        {"service with arguments before the flag",
         "9 /Applications/Quorvix.app/Contents/MacOS/Quorvix -psn_0_1 --service", "9", 9, "--service",
         "/Applications/Quorvix.app/Contents/MacOS/Quorvix"},
        {"unknown flag kept", "1200 /Applications/Q.app/Contents/MacOS/Quorvix --x", "1200", 1200, "--x",
         "/Applications/Q.app/Contents/MacOS/Quorvix"},
        {"last word without dashes is no flag", "5 /Applications/Q.app/Contents/MacOS/Quorvix -v", "5", 5, "",
         "/Applications/Q.app/Contents/MacOS/Quorvix"},
        {"path with blanks", "31337 /Users/Shared/My Apps/Old Copy.app/Contents/MacOS/Quorvix --control",
         "31337", 31337, "--control", "/Users/Shared/My Apps/Old Copy.app/Contents/MacOS/Quorvix"},
        {"tabs and blanks around the line", "\t  8 /A.app/Contents/MacOS/Quorvix --backend \t", "8", 8,
         "--backend", "/A.app/Contents/MacOS/Quorvix"},
    };
    for (const auto& c : cases) {
        const process_list_t list = parse_process_list(c.line + "\n");
        ASSERT_EQ(list.records.size(), 1u) << c.name;
        EXPECT_TRUE(list.rejected.empty()) << c.name;
        const process_record_t& record = list.records[0];
        EXPECT_EQ(record.pid, c.pid) << c.name;
        EXPECT_EQ(record.process_id, c.process_id) << c.name;
        EXPECT_EQ(record.arg, c.arg) << c.name;
        EXPECT_EQ(record.exe, c.exe) << c.name;
    }
}

struct rejected_case_t {
    const char* name;
    std::string line;
    reject_reason_t reason;
};

TEST(ProcessList, SetsAsideLinesThatCannotNameAProcessSafely) {
    const std::vector<rejected_case_t> cases = {
        {"marker only inside the flag", "6 /usr/bin/tail --file=/A.app/Contents/MacOS/Quorvix",
         reject_reason_t::marker_not_in_executable},
        {"flag is the whole command line", "6 --/A.app/Contents/MacOS/Quorvix",
         reject_reason_t::marker_not_in_executable},
        {"no blank after the pid", "  /A.app/Contents/MacOS/Quorvix", reject_reason_t::no_blank_after_pid},
        {"tab instead of blank", "12\t/A.app/Contents/MacOS/Quorvix", reject_reason_t::no_blank_after_pid},
        {"non-numeric pid", "abc /A.app/Contents/MacOS/Quorvix", reject_reason_t::invalid_pid},
        {"pid zero", "0 /A.app/Contents/MacOS/Quorvix", reject_reason_t::invalid_pid},
        {"negative pid", "-1 /A.app/Contents/MacOS/Quorvix", reject_reason_t::invalid_pid},
        {"pid beyond pid_t", "2147483648 /A.app/Contents/MacOS/Quorvix", reject_reason_t::invalid_pid},
    };
    for (const auto& c : cases) {
        const process_list_t list = parse_process_list(c.line);
        EXPECT_TRUE(list.records.empty()) << c.name;
        ASSERT_EQ(list.rejected.size(), 1u) << c.name;
        EXPECT_EQ(list.rejected[0].reason, c.reason) << c.name;
    }
}

TEST(ProcessList, DropsHeaderAndOtherProcessesAndKeepsListingOrder) {
    const std::string output =
        "    PID COMMAND\n"
        "      1 /sbin/init\n"
        "    300 /Applications/Quorvix.app/Contents/MacOS/Quorvix --service\n"
        "    301 /usr/bin/less /tmp/contents/macos/quorvix.txt\n"
        "    302 /Applications/Quorvix.app/Contents/MacOS/Quorvix\n"
        "    303 [kworker/0:1]\n";
    const process_list_t list = parse_process_list(output);
    EXPECT_TRUE(list.rejected.empty());
    ASSERT_EQ(list.records.size(), 2u);
    EXPECT_EQ(list.records[0].pid, "300");
    EXPECT_EQ(list.records[1].pid, "302");
}

TEST(ProcessList, OutputThatIsNotUtf8GivesNothing) {
    const std::vector<std::string> outputs = {
        "1 /A.app/Contents/MacOS/Quorvix\n2 /B\xff.app/Contents/MacOS/Quorvix\n",
        "1 /A.app/Contents/MacOS/Quorvix\n2 no\n\xe2\x82",  // cut sequence
    };
    for (const auto& output : outputs) {
        const process_list_t list = parse_process_list(output);
        EXPECT_TRUE(list.records.empty()) << output;
        EXPECT_TRUE(list.rejected.empty()) << output;
    }
    const process_list_t accented = parse_process_list("3 /Users/Jos\xc3\xa9/Q.app/Contents/MacOS/Quorvix\n");
    ASSERT_EQ(accented.records.size(), 1u);
    EXPECT_EQ(accented.records[0].exe, "/Users/Jos\xc3\xa9/Q.app/Contents/MacOS/Quorvix");
}

TEST(ProcessList, EndsUnknownRolesFirstThenTheFixedRoleOrder) {
    const std::vector<std::string> listed = {"--service",  "",          "--control", "--x",
                                             "--frontend", "--backend", "",          "--local-service"};
    std::vector<process_record_t> records;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        records.push_back({std::to_string(i + 1), static_cast<pid_t>(i + 1), listed[i], "/A.app"});
    }
    sort_by_role(records);
    std::vector<std::string> order;
    for (const auto& record : records) {
        order.push_back(record.pid + record.arg);
    }
    const std::vector<std::string> expected = {
        "4--x", "2", "7", "5--frontend", "6--backend", "8--local-service", "1--service", "3--control"};
    EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace commands
