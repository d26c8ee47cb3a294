#include "platform/codesign/verifier_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include "platform/codesign/verifier_protocol.h"
#include "platform/process_info.h"
#include "platform/service_accounts.h"
#include "platform/spawn.h"

namespace platform::codesign {
namespace {

// Beside the running executable, never through PATH or the environment: the helper is root and starts
// it as root. Installed, both lie in the same root-owned directory.
std::string verifier_path() {
    const auto self = own_executable_path();
    if (!self) {
        return {};
    }
    return (std::filesystem::path(*self).parent_path() / verifier::kExecutableName).string();
}

}  // namespace

os_status_t run_code_verifier(int executable, const std::string& anchors_path,
                              const std::string& requirement_text, std::chrono::milliseconds time_limit) {
    // Arguments end at a NUL; the verifier must see exactly what it is given.
    if (requirement_text.find('\0') != std::string::npos || anchors_path.find('\0') != std::string::npos) {
        return kParamErr;
    }
    // The running executable does not change, so neither does the verifier beside it.
    static const std::string path = verifier_path();
    if (path.empty()) {
        return errSecCSInternalError;
    }
    spawn_file_actions_t actions;
    // The executable on standard input, standard output to nowhere, standard error kept for the
    // verifier's own complaints; nothing else of ours goes along.
    if (::posix_spawn_file_actions_adddup2(actions.get(), executable, STDIN_FILENO) != 0 ||
        ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY | O_NOCTTY,
                                           0) != 0 ||
        ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1) != 0) {
        return errSecCSInternalError;
    }
    const spawn_attributes_t attributes;
    std::string user = std::to_string(service_accounts().verifier_user);
    std::string group = std::to_string(service_accounts().verifier_group);
    std::array<char*, 6> argv = {const_cast<char*>(path.c_str()),
                                 const_cast<char*>(anchors_path.c_str()),
                                 const_cast<char*>(requirement_text.c_str()),
                                 user.data(),
                                 group.data(),
                                 nullptr};
    std::array<char*, 1> no_environment = {nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(),
                      no_environment.data()) != 0) {
        return errSecCSInternalError;
    }
    const auto wait_status = wait_for_child_within(pid, time_limit);
    return wait_status && WIFEXITED(*wait_status) ? verifier::status_for_exit(WEXITSTATUS(*wait_status))
                                                  : errSecCSInternalError;
}

}  // namespace platform::codesign
