// qv-codesign: signs executables for the code-signing stand-in, verifies them and shows what they carry.
// Exit status: 0 success (for verify: valid and satisfying the requirement), 1 failure, 2 usage error.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/codesign/codesign.h"
#include "platform/system_root.h"

namespace {

namespace codesign = platform::codesign;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: qv-codesign sign --identifier ID --key KEY --cert LEAF [--chain PEM] FILE\n"
    "       qv-codesign verify [--requirement TEXT] [--anchors PEM] FILE\n"
    "       qv-codesign display FILE\n"
    "       qv-codesign -h | --help\n"
    "\n"
    "sign appends a signature to FILE (replacing an earlier one); verify checks it against the anchors\n"
    "(default: /etc/codesign/anchors.pem under QUORVIX_SYSTEM_ROOT) and the requirement; display shows it.\n"
    "\n"
    "Exit status: 0 success (verify: valid, and satisfying the requirement when one is given); 1 failure,\n"
    "with the reason and its status code on standard error (unsigned, invalid signature, requirement not\n"
    "met or not understood, unreadable file); 2 usage error.\n";

// Options of one command: the names it accepts and the one file operand.
struct arguments_t {
    std::map<std::string, std::string> options;
    std::string file;
};

std::optional<arguments_t> parse_arguments(const std::vector<std::string>& words,
                                           const std::vector<std::string>& allowed) {
    arguments_t result;
    bool have_file = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.starts_with("--")) {
            bool known = false;
            for (const auto& name : allowed) {
                known = known || name == word;
            }
            if (!known || i + 1 >= words.size() || result.options.contains(word)) {
                return std::nullopt;
            }
            result.options[word] = words[++i];
        } else if (!have_file) {
            result.file = word;
            have_file = true;
        } else {
            return std::nullopt;
        }
    }
    if (!have_file || result.file.empty()) {
        return std::nullopt;
    }
    return result;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

int fail(const std::string& file, platform::os_status_t status) {
    std::cerr << "qv-codesign: " << file << ": " << codesign::status_description(status) << " (" << status
              << ")\n";
    return kExitFailure;
}

int run_sign(const std::vector<std::string>& words) {
    const auto arguments = parse_arguments(words, {"--identifier", "--key", "--cert", "--chain"});
    if (!arguments || !arguments->options.contains("--identifier") || !arguments->options.contains("--key") ||
        !arguments->options.contains("--cert")) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    codesign::signing_identity_t identity;
    const auto key = read_file(arguments->options.at("--key"));
    const auto leaf = read_file(arguments->options.at("--cert"));
    std::optional<std::string> chain = std::string();
    if (arguments->options.contains("--chain")) {
        chain = read_file(arguments->options.at("--chain"));
    }
    if (!key || !leaf || !chain) {
        std::cerr << "qv-codesign: cannot read the key, certificate or chain file\n";
        return kExitFailure;
    }
    identity = {*key, *leaf, *chain};
    const auto status = codesign::sign_file(arguments->file, arguments->options.at("--identifier"), identity);
    if (status != platform::errSecSuccess) {
        return fail(arguments->file, status);
    }
    std::cout << arguments->file << ": signed as " << arguments->options.at("--identifier") << "\n";
    return 0;
}

int run_verify(const std::vector<std::string>& words) {
    const auto arguments = parse_arguments(words, {"--requirement", "--anchors"});
    if (!arguments) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    std::unique_ptr<codesign::requirement_t> requirement;
    if (arguments->options.contains("--requirement")) {
        const auto status =
            codesign::create_requirement_with_string(arguments->options.at("--requirement"), requirement);
        if (status != platform::errSecSuccess) {
            return fail("requirement", status);
        }
    }
    const std::string anchors = arguments->options.contains("--anchors") ? arguments->options.at("--anchors")
                                                                         : codesign::platform_anchors_path();
    std::unique_ptr<codesign::code_t> code;
    auto status = codesign::create_static_code_with_path(arguments->file, code);
    if (status == platform::errSecSuccess) {
        status = codesign::check_validity_with_anchors(code.get(), requirement.get(), anchors);
    }
    if (status != platform::errSecSuccess) {
        return fail(arguments->file, status);
    }
    std::cout << arguments->file << ": valid on disk" << (requirement ? " and satisfies the requirement" : "")
              << "\n";
    return 0;
}

int run_display(const std::vector<std::string>& words) {
    const auto arguments = parse_arguments(words, {});
    if (!arguments) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    std::unique_ptr<codesign::code_t> code;
    codesign::signing_information_t information;
    auto status = codesign::create_static_code_with_path(arguments->file, code);
    if (status == platform::errSecSuccess) {
        status = codesign::copy_signing_information(*code, information);
    }
    if (status != platform::errSecSuccess) {
        return fail(arguments->file, status);
    }
    std::cout << "Executable=" << arguments->file << "\n"
              << "Identifier=" << information.identifier << "\n"
              << "TeamIdentifier=" << information.leaf_organizational_unit.value_or("not set") << "\n"
              << "Authority=" << information.leaf_common_name.value_or("not set") << "\n";
    for (const auto& subject : information.certificate_subjects) {
        std::cout << "Certificate=" << subject << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto problem = platform::load_system_root_from_environment()) {
        std::cerr << "qv-codesign: " << *problem << "\n";
        return kExitUsage;
    }
    if (argc < 2) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "-h" || command == "--help") {
        std::cout << kUsage;
        return 0;
    }
    const std::vector<std::string> words(argv + 2, argv + argc);
    if (command == "sign") {
        return run_sign(words);
    }
    if (command == "verify") {
        return run_verify(words);
    }
    if (command == "display") {
        return run_display(words);
    }
    std::cerr << kUsage;
    return kExitUsage;
}
