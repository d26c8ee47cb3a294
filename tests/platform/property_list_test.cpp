#include "platform/property_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/file_io.h"
#include "scratch_directory.h"

namespace {

using platform::plist_type_t;
using platform::property_list_t;

property_list_t sample_job() {
    auto job = property_list_t::dictionary();
    job.set("Label", property_list_t::string("com.example.job"));
    job.set("Disabled", property_list_t::boolean(false));
    job.set("Count", property_list_t::integer(-42));
    job.set("ProgramArguments", property_list_t::string_array({"/bin/tool", "--service"}));
    return job;
}

void expect_sample_job(const property_list_t& list) {
    const auto root = list.root();
    ASSERT_EQ(root.type(), plist_type_t::dictionary);
    EXPECT_EQ(root.size(), 4u);
    EXPECT_EQ(root.string_for_key("Label"), "com.example.job");
    EXPECT_EQ(root.get("Disabled")->as_bool(), false);
    EXPECT_EQ(root.get("Count")->as_number(), -42.0);
    const auto arguments = root.get("ProgramArguments");
    ASSERT_TRUE(arguments);
    ASSERT_EQ(arguments->size(), 2u);
    EXPECT_EQ(arguments->at(0)->as_string(), "/bin/tool");
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
    const auto job = sample_job();
    const auto xml = job.to_xml();
    ASSERT_TRUE(xml);
    EXPECT_NE(xml->find("<plist version=\"1.0\">"), std::string::npos);

    const auto from_xml = property_list_t::parse(*xml);
    ASSERT_TRUE(from_xml);
    expect_sample_job(*from_xml);

    const std::string binary = binary_form(job);
    ASSERT_EQ(binary.rfind("bplist00", 0), 0u);
    const auto from_binary = property_list_t::parse(binary);
    ASSERT_TRUE(from_binary);
    expect_sample_job(*from_binary);
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
        {"<integer>0</integer>", 0.0, std::nullopt},
        {"<integer>7</integer>", 7.0, std::nullopt},
        {"<integer>-1</integer>", -1.0, std::nullopt},
        {"<integer>18446744073709551615</integer>", 18446744073709551615.0, std::nullopt},
        {"<real>2.5</real>", 2.5, std::nullopt},
        {"<string>1</string>", std::nullopt, std::nullopt},
        {"<date>2001-01-01T00:00:00Z</date>", std::nullopt, std::nullopt},
        {"<dict/>", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string xml =
            std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>v</key>") + c.element +
            "</dict></plist>";
        const auto list = property_list_t::parse(xml);
        ASSERT_TRUE(list) << c.element;
        const auto value = list->root().get("v");
        ASSERT_TRUE(value) << c.element;
        EXPECT_EQ(value->as_number(), c.number) << c.element;
        EXPECT_EQ(value->as_bool(), c.boolean) << c.element;
    }
}

TEST(PropertyList, ValueViewsRefuseTheWrongContainer) {
    const auto list = sample_job();
    const auto label = list.root().get("Label");
    ASSERT_TRUE(label);
    EXPECT_FALSE(label->get("x"));
    EXPECT_FALSE(label->at(0));
    EXPECT_EQ(label->size(), 0u);
    EXPECT_TRUE(label->keys().empty());
    EXPECT_FALSE(list.root().string_for_key("Disabled"));
    EXPECT_FALSE(list.root().get("Missing"));
    EXPECT_FALSE(property_list_t().to_xml());
}

TEST(PropertyList, SetReplacesAnEarlierValueOfAnyType) {
    auto list = sample_job();
    list.set("Label", property_list_t::boolean(true));
    EXPECT_EQ(list.root().size(), 4u);
    EXPECT_EQ(list.root().get("Label")->as_bool(), true);
    auto keys = list.root().keys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"Count", "Disabled", "Label", "ProgramArguments"}));
}

TEST(PropertyList, ReadFileTreatsMissingAndCorruptFilesAsAbsent) {
    const platform_test::scratch_directory_t scratch;
    EXPECT_FALSE(property_list_t::read_file(scratch / "missing.plist"));
    EXPECT_FALSE(property_list_t::read_file(scratch.path()));
    ASSERT_TRUE(platform::write_file_in_place(scratch / "empty.plist", ""));
    EXPECT_FALSE(property_list_t::read_file(scratch / "empty.plist"));
    ASSERT_TRUE(platform::write_file_in_place(scratch / "bad.plist", "<plist><dict><key>"));
    EXPECT_FALSE(property_list_t::read_file(scratch / "bad.plist"));
    ASSERT_TRUE(platform::write_file_in_place(scratch / "binary.plist", binary_form(sample_job())));
    const auto binary = property_list_t::read_file(scratch / "binary.plist");
    ASSERT_TRUE(binary);
    expect_sample_job(*binary);
}

TEST(PropertyList, ReadFileRefusesWhatIsNoOrdinaryFile) {
    const platform_test::scratch_directory_t scratch;
    // A FIFO must not block the reader waiting for a writer, nor a device flood it.
    ASSERT_EQ(::mkfifo((scratch / "fifo.plist").c_str(), 0644), 0);
    EXPECT_FALSE(property_list_t::read_file(scratch / "fifo.plist"));
    EXPECT_FALSE(property_list_t::read_file("/dev/zero"));

    const std::string valid = *sample_job().to_xml();
    ASSERT_TRUE(platform::write_file_in_place(scratch / "huge.plist", valid));
    std::filesystem::resize_file(scratch / "huge.plist", 17 * 1024 * 1024);
    EXPECT_FALSE(property_list_t::read_file(scratch / "huge.plist"));
}

mode_t mode_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(PropertyList, WriteInPlaceNeedsTheDirectory) {
    const platform_test::scratch_directory_t scratch;
    const auto job = sample_job();
    EXPECT_FALSE(job.write_xml(scratch / "missing/job.plist"));
    EXPECT_FALSE(std::filesystem::exists(scratch / "missing"));

    ASSERT_TRUE(platform::write_file_in_place(scratch / "job.plist", std::string(10000, 'x')));
    ASSERT_TRUE(job.write_xml(scratch / "job.plist"));
    const auto back = property_list_t::read_file(scratch / "job.plist");
    ASSERT_TRUE(back);
    expect_sample_job(*back);
}

TEST(PropertyList, AtomicWriteKeepsModeAndLeavesNoTemporaryFile) {
    const platform_test::scratch_directory_t scratch;
    const std::string path = scratch / "job.plist";
    const auto job = sample_job();

    ASSERT_TRUE(job.write_xml_atomically(path));
    EXPECT_EQ(mode_of(path), 0644u);

    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    auto changed = sample_job();
    changed.set("Disabled", property_list_t::boolean(true));
    ASSERT_TRUE(changed.write_xml_atomically(path));
    EXPECT_EQ(mode_of(path), 0600u);
    EXPECT_EQ(property_list_t::read_file(path)->root().get("Disabled")->as_bool(), true);

    EXPECT_FALSE(job.write_xml_atomically(scratch / "missing/job.plist"));
    ASSERT_TRUE(std::filesystem::create_directory(scratch / "directory.plist"));
    EXPECT_FALSE(job.write_xml_atomically(scratch / "directory.plist"));

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(scratch.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"directory.plist", "job.plist"}));
}

}  // namespace
