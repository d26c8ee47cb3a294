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

using calls_t = std::vector<std::vector<std::string>>;

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
        auto info = platform::property_list_t::dictionary();
        info.set("CFBundleIdentifier", platform::property_list_t::string(identifier.value_or("")));
        bundle_ = identifier ? platform::bundle_t::from_info("/usr/libexec/quorvix-helper", std::move(info))
                             : core::embedded_main_bundle("/usr/libexec/quorvix-helper");
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        return std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }

    // The one reply of a handler: `ask<bool>([&](auto reply) { helper->quit_service(ns, reply); })`.
    template <typename T, typename Call>
    static std::optional<T> ask(Call&& call) {
        std::optional<T> answer;
        int replies = 0;
        call(core::reply_t<T>([&](T value) {
            answer = std::move(value);
            ++replies;
        }));
        EXPECT_LE(replies, 1) << "a request replies once";
        return answer;
    }

    [[nodiscard]] std::string trace() const { return sandbox_.read_file("/var/log/quorvix.trace"); }
    // The records of one level: "info", "warning" or "error".
    [[nodiscard]] std::vector<std::string> records(const std::string& level) const {
        std::vector<std::string> found;
        std::istringstream in(trace());
        for (std::string line; std::getline(in, line);) {
            const auto start = line.find_first_not_of(' ');
            if (start != std::string::npos && line.compare(start, level.size() + 1, level + " ") == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    // A job file written by hand: its label and the given boolean entries.
    static void write_job_file(const std::string& path,
                               const std::vector<std::pair<std::string, bool>>& entries) {
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
        const auto value = job ? job->root().get(key) : std::nullopt;
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
