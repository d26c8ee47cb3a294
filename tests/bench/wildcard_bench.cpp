// Wildcard search over a directory of 10,000 entries next to a bare readdir loop over the same directory.

#include <benchmark/benchmark.h>
#include <dirent.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "commands/external_commands.h"

namespace {

constexpr int kEntries = 10000;

// A temporary directory of launchd-like job file names, a tenth of them matching the wildcard.
class job_directory_t {
public:
    job_directory_t() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qv-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
        for (int i = 0; i < kEntries; ++i) {
            const std::string kind = i % 10 == 0 ? "service" : "Frontend";
            std::ofstream(path_ + "/com.trellwick.quorvix" + std::to_string(i) + "." + kind + ".plist");
        }
    }
    ~job_directory_t() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    job_directory_t(const job_directory_t&) = delete;
    job_directory_t& operator=(const job_directory_t&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    std::string path_;
};

const job_directory_t& job_directory() {
    static const job_directory_t directory;
    return directory;
}

void BM_BareReaddir(benchmark::State& state) {
    const std::string& path = job_directory().path();
    for (auto _ : state) {
        std::size_t names = 0;
        DIR* directory = opendir(path.c_str());
        while (const dirent* entry = readdir(directory)) {
            benchmark::DoNotOptimize(entry->d_name[0]);
            ++names;
        }
        closedir(directory);
        benchmark::DoNotOptimize(names);
    }
}
BENCHMARK(BM_BareReaddir)->Unit(benchmark::kMillisecond);

void BM_ResolveFilesInDirectory(benchmark::State& state) {
    const std::string& path = job_directory().path();
    std::size_t found = 0;
    for (auto _ : state) {
        const auto matches =
            commands::ExternalCommands::resolveFilesInDirectory(path, "com.trellwick.quorvix*.service.plist");
        found = matches.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["matches"] = static_cast<double>(found);
}
BENCHMARK(BM_ResolveFilesInDirectory)->Unit(benchmark::kMillisecond);

}  // namespace
