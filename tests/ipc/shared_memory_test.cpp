// Shared-memory cleanup against real POSIX objects and a registry directory in a sandbox root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/embedded_resources.h"
#include "core/helper_tool.h"
#include "fixtures/sandbox.h"
#include "support/identifier_hash.h"
#include "support/trace_log.h"

namespace {

namespace fs = std::filesystem;

// Other test processes clean the same fixed names; a private /dev/shm keeps them apart where the system
// allows one (root, no other thread yet). Elsewhere the test shares the system's objects.
void use_private_shared_memory() {
    if (::unshare(CLONE_NEWNS) != 0) {
        return;
    }
    // Without private propagation the new mount would show up outside this process.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return;
    }
    (void)::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
}

bool object_exists(const std::string& name) {
    const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// A real shared-memory object, unlinked at the end of the test if the cleanup left it.
class shm_object_t {
public:
    explicit shm_object_t(std::string name) : name_(std::move(name)) {
        const int fd = ::shm_open(name_.c_str(), O_CREAT | O_RDWR, 0600);
        EXPECT_GE(fd, 0) << name_;
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ~shm_object_t() { (void)::shm_unlink(name_.c_str()); }
    shm_object_t(const shm_object_t&) = delete;
    shm_object_t& operator=(const shm_object_t&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] bool exists() const { return object_exists(name_); }

private:
    std::string name_;
};

// The eight object names of a version prefix, formed here independently of the helper.
std::vector<std::string> object_names(const std::string& prefix) {
    std::vector<std::string> names;
    for (const char* family : {"gsystem", "lsystem"}) {
        for (const char* suffix : {"_shm", "_mtx", "_evt_event_mtx"}) {
            names.push_back(support::identifier_hash("qv", support::string_t(prefix + family + suffix)));
        }
    }
    names.push_back(support::identifier_hash("qv", "nxipcstobjmtx"));
    names.push_back(support::identifier_hash("qv", "nxipcstobjs"));
    return names;
}

class SharedMemoryCleanup : public testing::Test {
protected:
    static void SetUpTestSuite() { use_private_shared_memory(); }

    SharedMemoryCleanup() {
        support::trace_log_init();
        support::set_trace_path(sandbox_.path("/var/log/quorvix.trace").c_str());
        core::helper_dependencies_t dependencies;
        dependencies.main_bundle = &*bundle_;
        helper_ = std::make_shared<core::helper_tool_t>(std::move(dependencies));
    }

    fixtures::sandbox_t sandbox_;
    std::optional<platform::bundle_t> bundle_ = core::embedded_main_bundle("/usr/libexec/quorvix-helper");
    std::shared_ptr<core::helper_tool_t> helper_;
};

TEST_F(SharedMemoryCleanup, NamesObjectsLikeTheApplication) {
    // The application's own name for the first object of 7.0.10.
    EXPECT_EQ(object_names("7010_").front(), "0fbafe8c395eaa27");
}

TEST_F(SharedMemoryCleanup, RemovesTheObjectsAndRegistryOfThreeComponentVersionsOnly) {
    struct case_t {
        std::optional<std::string> version;
        std::string prefix;  // whose objects are laid out
        bool removes;
        bool with_registry = true;
    };
    const case_t cases[] = {
        {"7.0.10", "7010_", true},
        {"7.0.10", "7010_", true, false},
        {"7.0.beta", "700_", true},
        {" 1.+2.3x", "123_", true},
        // Read as signed integers and written unsigned, as the application names them.
        {"-1.0.0", "429496729500_", true},
        {"99999999999.0.0", "214748364700_", true},
        {"7.0", "7010_", false},
        {"7.0.10.1", "7010_", false},
        {"", "7010_", false},
        {std::nullopt, "7010_", false},
    };
    const std::string registry = sandbox_.path("/tmp/qv_shm/qv");
    for (const auto& c : cases) {
        const std::string label = c.version.value_or("(nil)") + (c.with_registry ? "" : " without registry");
        fs::remove_all(registry);
        if (c.with_registry) {
            fs::create_directories(registry);
        }
        std::vector<std::unique_ptr<shm_object_t>> objects;
        for (const auto& name : object_names(c.prefix)) {
            objects.push_back(std::make_unique<shm_object_t>(name));
        }
        // Registry entries name further objects; entries beginning with "." are never touched.
        const shm_object_t listed("qv-test-listed-object");
        const shm_object_t hidden(".qv-test-hidden-object");
        if (c.with_registry) {
            sandbox_.write_file("/tmp/qv_shm/qv/" + listed.name(), "");
            sandbox_.write_file("/tmp/qv_shm/qv/" + hidden.name(), "");
        }

        helper_->cleanSharedMemory(c.version);

        for (const auto& object : objects) {
            EXPECT_EQ(object->exists(), !c.removes) << label << ": object " << object->name();
        }
        EXPECT_TRUE(hidden.exists()) << label;
        if (c.with_registry) {
            EXPECT_EQ(listed.exists(), !c.removes) << label;
            EXPECT_EQ(fs::exists(registry + "/" + listed.name()), !c.removes) << label;
            EXPECT_TRUE(fs::exists(registry + "/" + hidden.name())) << label;
        } else {
            EXPECT_TRUE(listed.exists()) << label;
            EXPECT_FALSE(fs::exists(registry)) << label << ": the cleanup must not create the registry";
        }
    }
}

// Anyone can lay out the registry under /tmp: a link at either level cleans nothing, and an entry speaks
// only for objects of its own owner (or of anyone, when root made it).
TEST_F(SharedMemoryCleanup, LeavesWhatARegistryOfAnotherUserPointsAt) {
    constexpr uid_t kNobody = 65534;
    const std::string shm_dir = sandbox_.path("/tmp/qv_shm");
    const std::string elsewhere = sandbox_.path("/var/db/precious");
    struct case_t {
        const char* what;
        bool registry_link;  // /tmp/qv_shm/qv is a link to `elsewhere`
        bool parent_link;    // /tmp/qv_shm is a link to a directory holding qv
        uid_t entry_owner;
        uid_t object_owner;
        bool object_removed;
    };
    const case_t cases[] = {
        {"registry is a link", true, false, 0, 0, false},
        {"its parent is a link", false, true, 0, 0, false},
        {"another user's entry names root's object", false, false, kNobody, 0, false},
        {"an entry and an object of the same user", false, false, kNobody, kNobody, true},
        {"root's entry names another user's object", false, false, 0, kNobody, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(shm_dir);
        fs::remove_all(sandbox_.path("/var/db/other"));
        fs::remove_all(elsewhere);
        sandbox_.write_file("/var/db/precious/file", "keep");
        fs::create_directories(elsewhere + "/empty");
        const shm_object_t object("qv-test-registered-object");
        ASSERT_EQ(::chown(("/dev/shm/" + object.name()).c_str(), c.object_owner, c.object_owner), 0);
        std::string registry = shm_dir + "/qv";
        if (c.parent_link) {
            fs::create_directories(sandbox_.path("/var/db/other/qv"));
            fs::create_directory_symlink(sandbox_.path("/var/db/other"), shm_dir);
            registry = sandbox_.path("/var/db/other/qv");
        } else if (c.registry_link) {
            fs::create_directories(shm_dir);
            fs::create_directory_symlink(elsewhere, registry);
            registry = elsewhere;
        } else {
            fs::create_directories(registry);
        }
        sandbox_.write_file(registry.substr(sandbox_.root().size()) + "/" + object.name(), "");
        ASSERT_EQ(::lchown((registry + "/" + object.name()).c_str(), c.entry_owner, c.entry_owner), 0);

        helper_->cleanSharedMemory("7.0.10");

        EXPECT_EQ(object.exists(), !c.object_removed);
        EXPECT_EQ(sandbox_.read_file("/var/db/precious/file"), "keep");
        EXPECT_TRUE(fs::exists(elsewhere + "/empty"));
        EXPECT_EQ(fs::exists(registry + "/" + object.name()), c.registry_link || c.parent_link);
    }
}

}  // namespace
