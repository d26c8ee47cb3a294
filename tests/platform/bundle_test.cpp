#include "platform/bundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "platform/main_bundle.h"
#include "scratch_directory.h"

namespace {

using platform::bundle_t;
using platform::property_list_t;

std::string info_path(const std::string& bundle) {
    return bundle + "/Contents/Info.plist";
}

void write_info(const std::string& bundle, const std::string& content) {
    std::filesystem::create_directories(bundle + "/Contents");
    ASSERT_TRUE(platform::write_file_in_place(info_path(bundle), content));
}

property_list_t application_info() {
    auto info = property_list_t::dictionary();
    info.set("CFBundleIdentifier", property_list_t::string("com.example.App"));
    info.set("CFBundleShortVersionString", property_list_t::string("2.26"));
    info.set("LSMinimumSystemVersion", property_list_t::integer(11));
    return info;
}

TEST(Bundle, ReadsIdentifierAndShortVersionFromItsInformationList) {
    const platform_test::scratch_directory_t scratch;
    const std::string path = scratch / "App.app";
    write_info(path, *application_info().to_xml());

    const auto bundle = bundle_t::open(path);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->path(), path);
    EXPECT_EQ(bundle->identifier(), "com.example.App");
    EXPECT_EQ(bundle->short_version(), "2.26");
    // Only string values answer a string lookup.
    EXPECT_FALSE(bundle->string_for_key("LSMinimumSystemVersion"));
    EXPECT_FALSE(bundle->string_for_key("CFBundleName"));
    EXPECT_EQ(bundle->info().get("LSMinimumSystemVersion")->as_number(), 11.0);
}

TEST(Bundle, IsAbsentWithoutAReadableDictionary) {
    const platform_test::scratch_directory_t scratch;
    EXPECT_FALSE(bundle_t::open(scratch / "Missing.app"));

    std::filesystem::create_directories(scratch / "Empty.app/Contents");
    EXPECT_FALSE(bundle_t::open(scratch / "Empty.app"));

    write_info(scratch / "Corrupt.app", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>");
    EXPECT_FALSE(bundle_t::open(scratch / "Corrupt.app"));

    write_info(scratch / "Array.app", *property_list_t::string_array({"com.example.App"}).to_xml());
    EXPECT_FALSE(bundle_t::open(scratch / "Array.app"));

    EXPECT_FALSE(bundle_t::from_info("embedded", property_list_t::string("com.example.App")));
    EXPECT_FALSE(bundle_t::from_info("embedded", property_list_t()));
}

TEST(Bundle, WithoutIdentifierStillOpens) {
    const platform_test::scratch_directory_t scratch;
    auto info = property_list_t::dictionary();
    info.set("CFBundleIdentifier", property_list_t::integer(5));
    write_info(scratch / "Odd.app", *info.to_xml());
    const auto bundle = bundle_t::open(scratch / "Odd.app");
    ASSERT_TRUE(bundle);
    EXPECT_FALSE(bundle->identifier());
    EXPECT_FALSE(bundle->short_version());
}

TEST(MainBundle, IsTheEmbeddedInformationOnceSet) {
    auto embedded = bundle_t::from_info("/usr/libexec/helper", application_info());
    ASSERT_TRUE(embedded);
    platform::set_main_bundle(std::move(*embedded));
    const auto& main = platform::main_bundle();
    ASSERT_TRUE(main);
    EXPECT_EQ(main->identifier(), "com.example.App");
    EXPECT_EQ(main->path(), "/usr/libexec/helper");
}

}  // namespace
