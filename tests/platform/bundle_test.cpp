#include "platform/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "scratch_directory.h"

namespace {

using platform::bundle_t;
using platform::property_list_t;

void write_info(const std::string& bundle, const std::string& content) {
    std::filesystem::create_directories(bundle + "/Contents");
    ASSERT_TRUE(platform::write_file_in_place(bundle + "/Contents/Info.plist", content));
}

TEST(Bundle, ReadsIdentifierAndShortVersionFromItsInformationList) {
    const platform_test::scratch_directory_t scratch;
    auto info = property_list_t::dictionary();
    info.set("CFBundleIdentifier", property_list_t::string("com.example.App"));
    info.set("CFBundleShortVersionString", property_list_t::string("2.26"));
    info.set("CFBundleVersion", property_list_t::integer(11));
    write_info(scratch / "App.app", *info.to_xml());

    const auto bundle = bundle_t::open(scratch / "App.app");
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->path(), scratch / "App.app");
    EXPECT_EQ(bundle->identifier(), "com.example.App");
    EXPECT_EQ(bundle->short_version(), "2.26");
    // Only string values answer a string lookup.
    EXPECT_FALSE(bundle->string_for_key("CFBundleVersion"));
    EXPECT_FALSE(bundle->string_for_key("CFBundleName"));
}

TEST(Bundle, IsAbsentWithoutAReadableDictionary) {
    const platform_test::scratch_directory_t scratch;
    std::filesystem::create_directories(scratch / "Empty.app/Contents");
    write_info(scratch / "Corrupt.app", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>");
    write_info(scratch / "Array.app", *property_list_t::string_array({"com.example.App"}).to_xml());
    for (const char* name : {"Missing.app", "Empty.app", "Corrupt.app", "Array.app"}) {
        EXPECT_FALSE(bundle_t::open(scratch / name)) << name;
    }
    EXPECT_FALSE(bundle_t::from_info("embedded", property_list_t::string("com.example.App")));
}

}  // namespace
