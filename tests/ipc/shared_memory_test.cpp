// Shared-memory cleanup against real POSIX objects and a registry directory in a sandbox root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
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
// only for an object of its own owner (or of anyone, when root made it), when it is a file of one name in
// directories of root's or of that owner. An object is looked at, never opened: a FIFO would block.
TEST_F(SharedMemoryCleanup, LeavesWhatARegistryOfAnotherUserPointsAt) {
    constexpr uid_t kNobody = 65534;
    constexpr uid_t kThirdUser = 65533;
    const std::string shm_dir = sandbox_.path("/tmp/qv_shm");
    const std::string elsewhere = sandbox_.path("/var/db/precious");
    const std::string object = "qv-test-registered-object";
    const std::string object_path = "/dev/shm/" + object;
    struct case_t {
        const char* what;
        bool registry_link = false;  // /tmp/qv_shm/qv is a link to `elsewhere`
        bool parent_link = false;    // /tmp/qv_shm is a link to a directory holding qv
        uid_t entry_owner = 0;
        uid_t object_owner = 0;
        uid_t registry_owner = 0;  // of /tmp/qv_shm/qv
        uid_t parent_owner = 0;    // of /tmp/qv_shm
        bool second_name = false;  // the entry is another name of a file of root's, such as a trace file
        bool link_entry = false;   // the entry is a symbolic link
        bool fifo = false;         // the object is a FIFO
        bool object_removed = false;
    };
    const case_t cases[] = {
        {.what = "registry is a link", .registry_link = true},
        {.what = "its parent is a link", .parent_link = true},
        {.what = "another user's entry names root's object", .entry_owner = kNobody},
        {.what = "an entry and an object of the same user",
         .entry_owner = kNobody,
         .object_owner = kNobody,
         .registry_owner = kNobody,
         .object_removed = true},
        {.what = "root's entry names another user's object", .object_owner = kNobody, .object_removed = true},
        {.what = "root's entry is a second name of root's file", .second_name = true},
        {.what = "a third user's registry",
         .entry_owner = kNobody,
         .object_owner = kNobody,
         .registry_owner = kThirdUser},
        {.what = "a third user's registry parent",
         .entry_owner = kNobody,
         .object_owner = kNobody,
         .parent_owner = kThirdUser},
        {.what = "the entry is a link",
         .entry_owner = kNobody,
         .object_owner = kNobody,
         .registry_owner = kNobody,
         .link_entry = true},
        {.what = "the object is a FIFO",
         .entry_owner = kNobody,
         .object_owner = kNobody,
         .fifo = true,
         .object_removed = true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(shm_dir);
        fs::remove_all(sandbox_.path("/var/db/other"));
        fs::remove_all(elsewhere);
        sandbox_.write_file("/var/db/precious/file", "keep");
        fs::create_directories(elsewhere + "/empty");
        fs::remove(object_path);
        std::optional<shm_object_t> shared;
        if (c.fifo) {
            ASSERT_EQ(::mkfifo(object_path.c_str(), 0600), 0);
        } else {
            shared.emplace(object);
        }
        ASSERT_EQ(::chown(object_path.c_str(), c.object_owner, c.object_owner), 0);
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
            ASSERT_EQ(::chown(registry.c_str(), c.registry_owner, c.registry_owner), 0);
            ASSERT_EQ(::chown(shm_dir.c_str(), c.parent_owner, c.parent_owner), 0);
        }
        const std::string entry = registry + "/" + object;
        if (c.second_name) {
            sandbox_.write_file("/var/log/other.trace", "");
            fs::create_hard_link(sandbox_.path("/var/log/other.trace"), entry);
        } else if (c.link_entry) {
            fs::create_symlink(sandbox_.path("/var/log/other.trace"), entry);
        } else {
            sandbox_.write_file(entry.substr(sandbox_.root().size()), "");
        }
        ASSERT_EQ(::lchown(entry.c_str(), c.entry_owner, c.entry_owner), 0);

        auto cleaning = std::async(std::launch::async, [&] { helper_->cleanSharedMemory("7.0.10"); });
        if (cleaning.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // A writer lets the blocked open go.
            const int writer = ::open(object_path.c_str(), O_WRONLY | O_NONBLOCK);
            cleaning.wait();
            ::close(writer);
            ADD_FAILURE() << "the cleanup blocked on the object";
        }

        EXPECT_EQ(fs::exists(fs::symlink_status(object_path)), !c.object_removed);
        EXPECT_EQ(sandbox_.read_file("/var/db/precious/file"), "keep");
        EXPECT_TRUE(fs::exists(elsewhere + "/empty"));
        EXPECT_EQ(fs::exists(fs::symlink_status(entry)), c.registry_link || c.parent_link);
        (void)::unlink(object_path.c_str());
    }
}

}  // namespace
