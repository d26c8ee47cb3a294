// Feeds arbitrary bytes as a job file to the reads and the atomic rewrite. A rewrite either leaves the
// file exactly as it was, or leaves a dictionary that holds the new value.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "commands/external_commands.h"

namespace {

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string& job_file() {
    static const std::string path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "qv-job-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        return pattern + "/com.trellwick.fuzz.service.plist";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using commands::ExternalCommands;
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::ofstream(job_file(), std::ios::binary | std::ios::trunc) << original;

    static_cast<void>(ExternalCommands::launchd_is_enabled(job_file()));
    static_cast<void>(ExternalCommands::launchd_is_run_at_load(job_file()));
    if (ExternalCommands::launchd_set_runatload(job_file(), false)) {
        if (!ExternalCommands::_readPlistValue(job_file(), "RunAtLoad") ||
            ExternalCommands::launchd_is_run_at_load(job_file())) {
            std::abort();
        }
    } else if (read_all(job_file()) != original) {
        std::abort();
    }
    return 0;
}
