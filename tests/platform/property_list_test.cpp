#include "platform/property_list.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/file_io.h"
#include "scratch_directory.h"

namespace {

using platform::plist_type_t;
using platform::property_list_t;
namespace fs = std::filesystem;

property_list_t sample_job() {
    auto job = property_list_t::dictionary();
    job.set("Label", property_list_t::string("com.example.job"));
    job.set("Disabled", property_list_t::boolean(true));
    job.set("Count", property_list_t::integer(-42));
    job.set("ProgramArguments", property_list_t::string_array({"/bin/tool", "--service"}));
    job.set("Disabled", property_list_t::boolean(false));  // replaces, does not add
    return job;
}

void expect_sample_job(const std::optional<property_list_t>& list) {
    ASSERT_TRUE(list);
    const auto root = list->root();
    ASSERT_EQ(root.type(), plist_type_t::dictionary);
    EXPECT_EQ(root.size(), 4u);
    EXPECT_EQ(root.string_for_key("Label"), "com.example.job");
    EXPECT_EQ(root.get("Disabled")->as_bool(), false);
    EXPECT_EQ(root.get("Count")->as_number(), -42.0);
    const auto arguments = root.get("ProgramArguments");
    ASSERT_TRUE(arguments);
    EXPECT_EQ(arguments->size(), 2u);
    EXPECT_EQ(arguments->at(1)->as_string(), "--service");
    EXPECT_FALSE(arguments->at(2));
}

std::string binary_form(const property_list_t& list) {
    const auto xml = list.to_xml();
    ::plist_t node = nullptr;
    plist_from_memory(xml->data(), static_cast<std::uint32_t>(xml->size()), &node);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    plist_free(node);
    std::string result(bytes, length);
    plist_to_bin_free(bytes);
    return result;
}

TEST(PropertyList, RoundTripsThroughXmlAndBinary) {
    const auto xml = sample_job().to_xml();
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<plist version=\"1.0\">"), std::string::npos);
    expect_sample_job(property_list_t::parse(*xml));
    expect_sample_job(property_list_t::parse(binary_form(sample_job())));
}

TEST(PropertyList, TreatsUnparsableInputAsAbsent) {
    const std::string cases[] = {
        "",
        std::string(1, '\0'),
        "not a property list",
        "bplist00",
        "bplist00\xff\xff\xff\xff\xff\xff\xff\xff",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>x",
    };
    for (const auto& bytes : cases) {
        EXPECT_FALSE(property_list_t::parse(bytes)) << "input of " << bytes.size() << " bytes";
    }
}

TEST(PropertyList, ReadsNumbersOfEveryKind) {
    struct number_case_t {
        const char* element;
        std::optional<double> number;
        std::optional<bool> boolean;
    };
    const number_case_t cases[] = {
        {"<true/>", 1.0, true},
        {"<false/>", 0.0, false},
        {"<integer>7</integer>", 7.0, std::nullopt},
        {"<integer>-1</integer>", -1.0, std::nullopt},
        {"<integer>18446744073709551615</integer>", 18446744073709551615.0, std::nullopt},
        {"<real>2.5</real>", 2.5, std::nullopt},
        {"<string>1</string>", std::nullopt, std::nullopt},
        {"<date>2001-01-01T00:00:00Z</date>", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto list = property_list_t::parse(std::string("<plist version=\"1.0\"><dict><key>v</key>") +
                                                 c.element + "</dict></plist>");
        ASSERT_TRUE(list && list->root().get("v")) << c.element;
        EXPECT_EQ(list->root().get("v")->as_number(), c.number) << c.element;
        EXPECT_EQ(list->root().get("v")->as_bool(), c.boolean) << c.element;
    }
}

TEST(PropertyList, ReadFileRefusesWhatIsNoSoundPropertyListFile) {
    const platform_test::scratch_directory_t scratch;
    ASSERT_TRUE(platform::write_file_in_place(scratch / "binary.plist", binary_form(sample_job())));
    expect_sample_job(property_list_t::read_file(scratch / "binary.plist"));

    ASSERT_TRUE(platform::write_file_in_place(scratch / "empty.plist", ""));
    ASSERT_TRUE(platform::write_file_in_place(scratch / "bad.plist", "<plist><dict><key>"));
    ASSERT_TRUE(platform::write_file_in_place(scratch / "huge.plist", *sample_job().to_xml()));
    fs::resize_file(scratch / "huge.plist", 17 * 1024 * 1024);
    // A FIFO must not block the reader waiting for a writer, nor a device flood it.
    ASSERT_EQ(::mkfifo((scratch / "fifo.plist").c_str(), 0644), 0);
    for (const std::string& path :
         {scratch / "missing.plist", scratch.path(), scratch / "empty.plist", scratch / "bad.plist",
          scratch / "huge.plist", scratch / "fifo.plist", std::string("/dev/zero")}) {
        EXPECT_FALSE(property_list_t::read_file(path)) << path;
    }
}

fs::perms mode_of(const std::string& path) {
    return fs::status(path).permissions();
}

TEST(PropertyList, WritesInPlaceOrAtomicallyWithoutCreatingDirectories) {
    const platform_test::scratch_directory_t scratch;
    const std::string path = scratch / "job.plist";
    ASSERT_TRUE(platform::write_file_in_place(path, std::string(10000, 'x')));
    ASSERT_TRUE(sample_job().write_xml(path));
    expect_sample_job(property_list_t::read_file(path));

    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    auto changed = sample_job();
    changed.set("Disabled", property_list_t::boolean(true));
    ASSERT_TRUE(changed.write_xml_atomically(path));
    EXPECT_EQ(mode_of(path), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(property_list_t::read_file(path)->root().get("Disabled")->as_bool(), true);
    ASSERT_TRUE(changed.write_xml_atomically(scratch / "new.plist"));
    EXPECT_EQ(mode_of(scratch / "new.plist"), fs::perms(0644));

    fs::create_directory(scratch / "directory.plist");
    EXPECT_FALSE(changed.write_xml_atomically(scratch / "directory.plist"));
    EXPECT_FALSE(changed.write_xml_atomically(scratch / "missing/job.plist"));
    EXPECT_FALSE(changed.write_xml(scratch / "missing/job.plist"));
    EXPECT_FALSE(fs::exists(scratch / "missing"));
    // Only the three files written: no temporary file outlives a write, failed or not.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 3);
}

TEST(PropertyList, AtomicWriteIntoAFullFileSystemFailsAndKeepsTheOldFile) {
    const platform_test::scratch_directory_t scratch;
    if (::mount("tmpfs", scratch.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here";
    }
    const std::string path = scratch / "job.plist";
    EXPECT_TRUE(sample_job().write_xml_atomically(path));
    auto large = sample_job();
    large.set("Padding", property_list_t::string(std::string(200 * 1024, 'p')));
    EXPECT_FALSE(large.write_xml_atomically(path));
    expect_sample_job(property_list_t::read_file(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 1);
    ::umount2(scratch.path().c_str(), MNT_DETACH);
}

}  // namespace
