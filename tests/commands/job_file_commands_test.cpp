// Reading and rewriting the boolean keys of launchd job files.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "commands/external_commands.h"
#include "fixtures/sandbox.h"
#include "platform/property_list.h"

namespace {

using commands::ExternalCommands;

std::string xml_job(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + entries + "\n</plist>\n";
}

std::string dictionary_job(const std::string& entries) {
    return xml_job("<dict><key>Label</key><string>com.trellwick.x.service</string>" + entries + "</dict>");
}

// The binary form of an XML document, as launchd writes it after its own edits.
std::string binary_form(const std::string& xml) {
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    std::string binary(bytes, length);
    plist_to_bin_free(bytes);
    plist_free(node);
    return binary;
}

struct read_case_t {
    const char* name;
    std::optional<std::string> content;  // absent: no file at all
    std::optional<double> disabled;
    bool enabled;
    bool run_at_load;
};

TEST(JobFileCommands, ReadBooleanKeysOnlyFromNumbersInADictionary) {
    fixtures::sandbox_t sandbox;
    const std::string path = sandbox.path("/Library/LaunchDaemons/job.plist");
    const read_case_t cases[] = {
        {"no file", std::nullopt, std::nullopt, true, false},
        {"corrupt", "<plist><dict><key>Disabled</key>", std::nullopt, true, false},
        {"array root", xml_job("<array><true/></array>"), std::nullopt, true, false},
        {"keys missing", dictionary_job(""), std::nullopt, true, false},
        {"true", dictionary_job("<key>Disabled</key><true/><key>RunAtLoad</key><true/>"), 1.0, false, true},
        {"false", dictionary_job("<key>Disabled</key><false/><key>RunAtLoad</key><false/>"), 0.0, true,
         false},
        {"integer 0", dictionary_job("<key>Disabled</key><integer>0</integer>"), 0.0, true, false},
        {"integer 2",
         dictionary_job("<key>Disabled</key><integer>2</integer><key>RunAtLoad</key><integer>2</integer>"),
         2.0, false, true},
        {"string",
         dictionary_job("<key>Disabled</key><string>true</string><key>RunAtLoad</key><string>1</string>"),
         std::nullopt, true, false},
        {"binary", binary_form(dictionary_job("<key>Disabled</key><true/><key>RunAtLoad</key><true/>")), 1.0,
         false, true},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(path);
        if (c.content) {
            sandbox.write_file("/Library/LaunchDaemons/job.plist", *c.content);
        }
        EXPECT_EQ(ExternalCommands::_readPlistValue(path, "Disabled"), c.disabled) << c.name;
        EXPECT_EQ(ExternalCommands::launchd_is_enabled(path), c.enabled) << c.name;
        EXPECT_EQ(ExternalCommands::launchd_is_run_at_load(path), c.run_at_load) << c.name;
    }
}

TEST(JobFileCommands, SettersRewriteBinaryAsXmlAndKeepOtherKeys) {
    fixtures::sandbox_t sandbox;
    const std::string path = sandbox.path("/Library/LaunchDaemons/job.plist");
    sandbox.write_file(
        "/Library/LaunchDaemons/job.plist",
        binary_form(dictionary_job("<key>Disabled</key><string>odd</string>"
                                   "<key>ProgramArguments</key><array><string>/a b</string></array>"
                                   "<key>KeepAlive</key><true/>")));

    ASSERT_TRUE(ExternalCommands::launchd_set_enabled(path, true));
    ASSERT_TRUE(ExternalCommands::launchd_set_runatload(path, true));

    const std::string content = sandbox.read_file("/Library/LaunchDaemons/job.plist");
    EXPECT_EQ(content.rfind("<?xml", 0), 0u) << content;
    const auto job = platform::property_list_t::parse(content);
    ASSERT_TRUE(job.has_value());
    // Enabling writes Disabled = false instead of removing the key.
    EXPECT_EQ(job->root().get("Disabled")->as_bool(), false);
    EXPECT_EQ(job->root().get("RunAtLoad")->as_bool(), true);
    EXPECT_EQ(job->root().string_for_key("Label"), "com.trellwick.x.service");
    EXPECT_EQ(job->root().get("KeepAlive")->as_bool(), true);
    EXPECT_EQ(job->root().get("ProgramArguments")->at(0)->as_string(), "/a b");

    ASSERT_TRUE(ExternalCommands::launchd_set_enabled(path, false));
    ASSERT_TRUE(ExternalCommands::launchd_set_runatload(path, false));
    EXPECT_FALSE(ExternalCommands::launchd_is_enabled(path));
    EXPECT_FALSE(ExternalCommands::launchd_is_run_at_load(path));
}

TEST(JobFileCommands, SettersRefuseFilesThatAreNotDictionariesAndLeaveThemAlone) {
    fixtures::sandbox_t sandbox;
    const std::string path = sandbox.path("/Library/LaunchAgents/job.plist");
    const std::optional<std::string> refused[] = {
        std::nullopt, "not a plist", xml_job("<array><true/></array>"), xml_job("<string>x</string>")};
    for (const auto& content : refused) {
        std::filesystem::remove(path);
        if (content) {
            sandbox.write_file("/Library/LaunchAgents/job.plist", *content);
        }
        const std::string label = content.value_or("no file");
        EXPECT_FALSE(ExternalCommands::launchd_set_runatload(path, true)) << label;
        EXPECT_FALSE(ExternalCommands::launchd_set_enabled(path, true)) << label;
        if (content) {
            EXPECT_EQ(sandbox.read_file("/Library/LaunchAgents/job.plist"), *content) << label;
        } else {
            EXPECT_FALSE(std::filesystem::exists(path));
        }
    }
    const auto leftovers =
        std::distance(std::filesystem::directory_iterator(sandbox.path("/Library/LaunchAgents")),
                      std::filesystem::directory_iterator());
    EXPECT_EQ(leftovers, 1) << "a temporary file was left behind";
}

}  // namespace
