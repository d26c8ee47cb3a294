#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "admission_requirement.h"
#include "fixtures/sandbox.h"
#include "fixtures/test_pki.h"

namespace {

namespace fs = std::filesystem;

struct result_t {
    int exit_status = -1;
    std::string output;
};

// Runs the built tool with `arguments`, without a shell, and collects its standard output.
result_t run_tool(const std::vector<std::string>& arguments) {
    const char* bin_dir = std::getenv("QV_TEST_BIN_DIR");
    const std::string tool = std::string(bin_dir != nullptr ? bin_dir : ".") + "/qv-codesign";
    int out[2];
    EXPECT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv{const_cast<char*>(tool.c_str())};
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(126);
    }
    close(out[1]);
    result_t result;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class CodesignTool : public ::testing::Test {
protected:
    void SetUp() override {
        files_ = pki_.write_pem_files(sandbox_.path("/pki"));
        program_ = sandbox_.path("/program");
        fs::copy_file("/bin/true", program_);
        // The tool finds the default anchor store under the system root it is given.
        setenv("QUORVIX_SYSTEM_ROOT", sandbox_.root().c_str(), 1);
    }
    void TearDown() override { unsetenv("QUORVIX_SYSTEM_ROOT"); }

    result_t sign(const std::string& identifier) const {
        return run_tool({"sign", "--identifier", identifier, "--key", files_.key, "--cert", files_.leaf,
                         "--chain", files_.chain, program_});
    }

    fixtures::sandbox_t sandbox_;
    fixtures::test_pki_t pki_{{.team_id = "QVTEAM0001", .common_name = "Quorvix Developer: Tool"}};
    fixtures::pem_files_t files_;
    std::string program_;
};

TEST_F(CodesignTool, ExitsZeroOnlyForValidCodeThatSatisfiesTheRequirement) {
    const std::string requirement = codesign_test::admission_requirement();
    EXPECT_EQ(run_tool({"verify", "--anchors", files_.anchors, program_}).exit_status, 1) << "unsigned";

    ASSERT_EQ(sign(codesign_test::kClientIdentifier).exit_status, 0);
    struct case_t {
        const char* name;
        std::vector<std::string> arguments;
        int exit_status;
    };
    const case_t cases[] = {
        {"explicit anchors", {"verify", "--anchors", files_.anchors, program_}, 0},
        {"with the admission requirement",
         {"verify", "--requirement", requirement, "--anchors", files_.anchors, program_},
         0},
        {"default anchors are not set up", {"verify", program_}, 1},
        {"unsatisfied requirement",
         {"verify", "--requirement", "identifier other", "--anchors", files_.anchors, program_},
         1},
        {"requirement that does not compile", {"verify", "--requirement", "identifier (", program_}, 1},
        {"missing file", {"verify", "--anchors", files_.anchors, sandbox_.path("/missing")}, 1},
        {"no file", {"verify"}, 2},
        {"two files", {"verify", program_, program_}, 2},
        {"unknown option", {"verify", "--deep", program_}, 2},
        {"option without value", {"verify", program_, "--anchors"}, 2},
        {"sign without key", {"sign", "--identifier", "x", "--cert", files_.leaf, program_}, 2},
        {"display with option", {"display", "--anchors", files_.anchors, program_}, 2},
        {"unknown command", {"staple", program_}, 2},
        {"no command", {}, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_tool(c.arguments).exit_status, c.exit_status) << c.name;
    }

    pki_.trust_in_system_root();
    EXPECT_EQ(run_tool({"verify", "--requirement", requirement, program_}).exit_status, 0)
        << "default anchors";
}

TEST_F(CodesignTool, SignedProgramStillRunsAndDisplaysItsSigner) {
    ASSERT_EQ(sign(codesign_test::kClientIdentifier).exit_status, 0);
    ASSERT_EQ(sign(codesign_test::kClientIdentifier).exit_status, 0) << "re-signing";
    EXPECT_EQ(run_tool({"verify", "--anchors", files_.anchors, program_}).exit_status, 0);
    EXPECT_EQ(std::system(program_.c_str()), 0) << "the appended signature must not break the executable";

    const result_t display = run_tool({"display", program_});
    EXPECT_EQ(display.exit_status, 0);
    EXPECT_NE(display.output.find(std::string("Identifier=") + codesign_test::kClientIdentifier + "\n"),
              std::string::npos)
        << display.output;
    EXPECT_NE(display.output.find("TeamIdentifier=QVTEAM0001\n"), std::string::npos) << display.output;
    EXPECT_NE(display.output.find("Authority=Quorvix Developer: Tool\n"), std::string::npos)
        << display.output;
    EXPECT_NE(display.output.find("Quorvix Test Developer CA"), std::string::npos) << display.output;
}

TEST_F(CodesignTool, FailsToSignWithBadInput) {
    const auto before = fixtures::read_text_file(program_);
    EXPECT_EQ(run_tool({"sign", "--identifier", "x", "--key", files_.leaf, "--cert", files_.leaf, program_})
                  .exit_status,
              1)
        << "certificate given as key";
    EXPECT_EQ(run_tool({"sign", "--identifier", "x", "--key", sandbox_.path("/none"), "--cert", files_.leaf,
                        program_})
                  .exit_status,
              1)
        << "missing key file";
    EXPECT_EQ(fixtures::read_text_file(program_), before);
}

}  // namespace
