// Figures for the install request with a bundle of about 200 MB in 3,000 files, next to what the same
// work costs with the system's tools alone: cp -a, then chmod -R 755 and chown -R (the request does the
// last two in one walk of its own). The fixed pause before the start passes at once on a fake clock, so
// the figures show the work and not the wait.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "commands/task.h"
#include "core/embedded_resources.h"
#include "core/helper_tool.h"
#include "fixtures/counting_authorization.h"
#include "fixtures/helper_process.h"
#include "fixtures/sandbox.h"
#include "platform/workspace.h"
#include "support/trace_log.h"

namespace {

namespace fs = std::filesystem;
using commands::task_t;

constexpr int kDirectories = 30;
constexpr int kFilesPerDirectory = 100;
constexpr std::size_t kFileSize = 69'905;  // 3,000 files make 200 MiB

class instant_clock_t final : public platform::wall_clock_t {
public:
    [[nodiscard]] double now() const override { return 0.0; }
    void sleep_for(double) const override {}
};

class instant_workspace_t final : public platform::workspace_t {
public:
    void open_application(const std::string&, completion_t completion) override { completion(std::nullopt); }
};

// One sandbox for the whole run: the bundle is made once, its executable signed as the application's so
// that the install takes it (the check of that signature is part of the figure).
struct install_world_t {
    install_world_t() {
        main_bundle = core::embedded_main_bundle("/usr/libexec/quorvix-helper");
        const std::string helper_identifier = main_bundle->identifier().value_or("");
        app_identifier = helper_identifier.substr(0, helper_identifier.rfind(".Helper"));
        sandbox.install_all_fake_tools();
        sandbox.install_fake_tool("/bin/ps");
        pki.trust_in_system_root();
        support::trace_log_init();
        support::set_trace_path(sandbox.path("/var/log/quorvix.trace").c_str());

        source = sandbox.path("/Volumes/Quorvix/Quorvix.app");
        fs::create_directories(source + "/Contents/MacOS");
        std::ofstream(source + "/Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>"
            << app_identifier
            << "</string><key>CFBundleShortVersionString</key><string>2.26.0</string></dict></plist>\n";
        std::ofstream(source + "/Contents/MacOS/Quorvix") << "#!/bin/sh\nexit 0\n";
        fixtures::sign_application_bundle(pki, source);
        std::string content(kFileSize, '\0');
        for (std::size_t i = 0; i < content.size(); ++i) {
            content[i] = static_cast<char>('a' + (i * 7919) % 26);
        }
        for (int d = 0; d < kDirectories; ++d) {
            const std::string directory = source + "/Contents/Resources/part" + std::to_string(d);
            fs::create_directories(directory);
            for (int f = 0; f < kFilesPerDirectory; ++f) {
                std::ofstream(directory + "/resource" + std::to_string(f) + ".dat", std::ios::binary)
                    << content;
            }
        }
    }

    std::shared_ptr<core::helper_tool_t> helper() {
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*main_bundle;
        dependencies.clock = &clock;
        dependencies.authorization = &authorization;
        dependencies.workspace = &workspace;
        return std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }

    fixtures::sandbox_t sandbox;
    fixtures::test_pki_t pki;
    std::string app_identifier;
    std::string source;
    std::optional<platform::bundle_t> main_bundle;
    instant_clock_t clock;
    instant_workspace_t workspace;
    fixtures::counting_authorization_t authorization;
};

install_world_t& world() {
    static install_world_t instance;
    return instance;
}

void BM_InstallRequest(benchmark::State& state) {
    auto& w = world();
    const std::string destination = w.sandbox.path("/Applications/Quorvix.app");
    const auto helper = w.helper();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(destination);
        state.ResumeTiming();
        bool answer = false;
        helper->install_quorvix_with_auth_data(std::vector<std::uint8_t>(32, 1), w.source, std::nullopt,
                                               std::string("quorvix_bench"), std::string(), 0,
                                               [&](bool value) { answer = value; });
        if (!answer) {
            state.SkipWithError("the install failed");
            break;
        }
    }
}
BENCHMARK(BM_InstallRequest)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_CopyThenChmodAndChownTools(benchmark::State& state) {
    auto& w = world();
    const std::string target = w.sandbox.path("/tmp/Quorvix.app");
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(target);
        state.ResumeTiming();
        if (task_t::syncExec("/bin/cp", {"-a", w.source, target}) != 0 ||
            task_t::syncExec("/bin/chmod", {"-R", "755", target}) != 0 ||
            task_t::syncExec("/bin/chown", {"-R", "root:0", target}) != 0) {
            state.SkipWithError("a tool failed");
            break;
        }
    }
}
BENCHMARK(BM_CopyThenChmodAndChownTools)->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace
