// Figures for the platform basics the install path leans on: reading and writing job files, and copying
// an application bundle.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "platform/file_manager.h"
#include "platform/property_list.h"

namespace {

namespace fs = std::filesystem;
using platform::property_list_t;

property_list_t job_definition() {
    auto job = property_list_t::dictionary();
    job.set("Label", property_list_t::string("com.trellwick.abc.service"));
    job.set("Disabled", property_list_t::boolean(false));
    job.set("RunAtLoad", property_list_t::boolean(true));
    job.set("KeepAlive", property_list_t::boolean(false));
    job.set("LaunchOnlyOnce", property_list_t::boolean(true));
    job.set("UserName", property_list_t::string("root"));
    job.set("ProgramArguments",
            property_list_t::string_array({"/Applications/Quorvix.app/Contents/MacOS/Quorvix", "--service"}));
    return job;
}

class scratch_t {
public:
    scratch_t() {
        std::string pattern = (fs::temp_directory_path() / "qv-bench-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~scratch_t() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    scratch_t(const scratch_t&) = delete;
    scratch_t& operator=(const scratch_t&) = delete;
    [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void BM_ParseJobFileXml(benchmark::State& state) {
    const std::string xml = *job_definition().to_xml();
    for (auto _ : state) {
        auto list = property_list_t::parse(xml);
        benchmark::DoNotOptimize(list);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_ParseJobFileXml);

void BM_RewriteJobFileAtomically(benchmark::State& state) {
    const scratch_t scratch;
    const std::string path = scratch / "job.plist";
    auto job = job_definition();
    bool flag = false;
    for (auto _ : state) {
        job.set("RunAtLoad", property_list_t::boolean(flag = !flag));
        if (!job.write_xml_atomically(path)) {
            state.SkipWithError("write failed");
            break;
        }
    }
}
BENCHMARK(BM_RewriteJobFileAtomically)->Unit(benchmark::kMicrosecond);

// A bundle of `files` small resources and one 8 MiB executable.
void BM_CopyBundle(benchmark::State& state) {
    const scratch_t scratch;
    const std::string from = scratch / "Quorvix.app";
    fs::create_directories(from + "/Contents/MacOS");
    fs::create_directories(from + "/Contents/Resources");
    const std::string executable(8 * 1024 * 1024, 'x');
    const std::string resource(16 * 1024, 'r');
    (void)platform::write_file_in_place(from + "/Contents/MacOS/Quorvix", executable);
    for (int index = 0; index < state.range(0); ++index) {
        (void)platform::write_file_in_place(from + "/Contents/Resources/r" + std::to_string(index), resource);
    }
    const std::string to = scratch / "copy.app";
    for (auto _ : state) {
        const auto result = platform::file_manager::copy_item(from, to);
        state.PauseTiming();
        if (!result.ok()) {
            state.SkipWithError(result.error.c_str());
            break;
        }
        (void)platform::file_manager::remove_item(to);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(
        state.iterations() * (executable.size() + resource.size() * state.range(0))));
}
BENCHMARK(BM_CopyBundle)->Arg(10)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace
