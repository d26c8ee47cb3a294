#pragma once
// The helper object composed in-process around a sandbox root with fake system tools, its trace file in
// the sandbox: what the installation and service control tests drive.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/embedded_resources.h"
#include "core/helper_tool.h"
#include "fixtures/sandbox.h"
#include "platform/property_list.h"
#include "support/trace_log.h"

namespace helper_tests {

// The answer a handler gave through its reply block; absent when it never replied.
template <typename T>
class reply_catcher_t {
public:
    [[nodiscard]] core::reply_t<T> block() {
        return [this](T value) {
            EXPECT_FALSE(value_) << "a request replies once";
            value_ = std::move(value);
        };
    }
    [[nodiscard]] const std::optional<T>& value() const { return value_; }

private:
    std::optional<T> value_;
};

class HelperSandbox : public testing::Test {
protected:
    HelperSandbox() {
        sandbox_.install_all_fake_tools();
        restart_trace();
    }

    // An empty trace file for the next case of a table.
    void restart_trace() const {
        std::filesystem::remove(sandbox_.path("/var/log/quorvix.trace"));
        support::trace_log_init();
        support::set_trace_path(sandbox_.path("/var/log/quorvix.trace").c_str());
    }

    // A helper whose main bundle is the embedded one, or one carrying `identifier`.
    std::shared_ptr<core::helper_tool_t> make_helper(
        const std::optional<std::string>& identifier = std::nullopt) {
        if (identifier) {
            auto info = platform::property_list_t::dictionary();
            info.set("CFBundleIdentifier", platform::property_list_t::string(*identifier));
            bundle_ = platform::bundle_t::from_info("/usr/libexec/quorvix-helper", std::move(info));
        } else {
            bundle_ = core::embedded_main_bundle("/usr/libexec/quorvix-helper");
        }
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        return std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }

    // A handler's reply, called as `ask<bool>([&](auto reply) { helper->quit_service(ns, reply); })`.
    template <typename T, typename Call>
    std::optional<T> ask(Call&& call) {
        reply_catcher_t<T> catcher;
        call(catcher.block());
        return catcher.value();
    }

    [[nodiscard]] std::string trace() const { return sandbox_.read_file("/var/log/quorvix.trace"); }
    // Records of one level ("info", "warning", "error").
    [[nodiscard]] std::vector<std::string> records(const std::string& level) const {
        std::vector<std::string> found;
        std::istringstream in(trace());
        for (std::string line; std::getline(in, line);) {
            if (line.find(" " + level + " ") != std::string::npos || line.rfind(level + " ", 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    // A job file written by hand: a dictionary of the given boolean entries.
    void write_job_file(const std::string& path,
                        const std::vector<std::pair<std::string, bool>>& entries) const {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        auto job = platform::property_list_t::dictionary();
        job.set("Label", platform::property_list_t::string(std::filesystem::path(path).stem().string()));
        for (const auto& [key, value] : entries) {
            job.set(key, platform::property_list_t::boolean(value));
        }
        ASSERT_TRUE(job.write_xml(path)) << path;
    }
    [[nodiscard]] static std::optional<bool> job_flag(const std::string& path, const std::string& key) {
        const auto job = platform::property_list_t::read_file(path);
        if (!job) {
            return std::nullopt;
        }
        const auto value = job->root().get(key);
        return value ? value->as_bool() : std::nullopt;
    }

    [[nodiscard]] static unsigned mode_of(const std::string& path) {
        struct stat status {};
        return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
    }

    fixtures::sandbox_t sandbox_;
    std::optional<platform::bundle_t> bundle_;
};

}  // namespace helper_tests
