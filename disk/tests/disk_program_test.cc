// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-instantiate-disk and velmortev-clean-disk run as a user would:
// the command line, the manager check, and the nodes they leave in a tmpfs
// stand-in manager for loop devices of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

using namespace vlm::test;

namespace {

const std::string instantiate_name = "velmortev-instantiate-disk";
const std::string clean_name = "velmortev-clean-disk";
const std::string instantiate_usage =
    "Usage: velmortev-instantiate-disk -l <manager> <device> <label>\n"
    "       velmortev-instantiate-disk -h\n"
    "       velmortev-instantiate-disk -V\n";
const std::string clean_usage =
    "Usage: velmortev-clean-disk -l <manager> <label>\n"
    "       velmortev-clean-disk -h\n"
    "       velmortev-clean-disk -V\n";

const std::string& usage_of(const std::string& name) {
    return name == clean_name ? clean_usage : instantiate_usage;
}

// Runs one of the two names with the testbed layer reporting the listed
// directories as managers.
run_result disk_tool(const std::string& name, const std::vector<std::string>& args,
                     const std::string& managers = "") {
    run_spec spec;
    spec.program = sbin(name);
    spec.args = args;
    spec.preload = true;
    spec.env = {{"VLM_TESTBED_MANAGERS", managers}};
    return run(spec);
}

struct usage_case {
    std::string name;
    std::vector<std::string> args;
    std::string message;
};

// Every command-line error ends with its message and the usage text before
// anything is looked at; the cases also pin down which check comes first.
// Help, version, the invocation name and the first missing operand are the
// frame's, checked in frame/tests.
TEST(DiskCommandLine, ErrorsInTheirOrder) {
    const std::string m = "/nonexistent/manager";
    const std::string dev = "/nonexistent/device";
    const std::vector<usage_case> cases = {
        {instantiate_name, {"-l", m, dev}, "You must specify a label\n"},
        {clean_name, {"A", "-l"}, "Option '-l' requires an argument\n"},
        // an empty -l ends the run as it is read, whatever follows
        {clean_name, {"-l", "", "-l", m, "A"}, "Argument to '-l' cannot be \"\"\n"},
        {clean_name, {"-l", m, "-l", "", "1abc"}, "Argument to '-l' cannot be \"\"\n"},
        {instantiate_name, {"-l", m, dev, "1abc"}, "Invalid characters in label: '1'\n"},
        {clean_name, {"_A"}, "Invalid characters in label: '_'\n"},
        {clean_name, {"a-b", "extra"}, "Invalid characters in label: '-'\n"},
        {clean_name, {std::string(25, 'a')}, "Label size exceeds '24' characters\n"},
        {clean_name, {std::string(29, 'a') + "-"}, "Invalid characters in label: '-'\n"},
        {clean_name, {"-l", m, "A", "B"}, "Too many arguments\n"},
        {instantiate_name, {dev, "A", "extra"}, "Too many arguments\n"},
        {clean_name, {"disk1"}, "You must specify a manager.\n"},
        {instantiate_name, {dev, "disk1"}, "You must specify a manager.\n"},
    };
    for (const usage_case& c : cases) {
        run_result r = disk_tool(c.name, c.args);
        SCOPED_TRACE(c.name + " " + c.message);
        EXPECT_EQ(r.status, shell_status(-EINVAL));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.name + ": " + c.message + usage_of(c.name));
    }
}

// A wrong manager is refused before the device is looked at.
TEST(DiskManager, OrdinaryOrMissingDirectoryIsRefusedFirst) {
    scratch_dir dir;
    std::string file = dir.file("plain");
    write_file(file, "x");
    struct manager_case {
        std::string manager;
        int code;
    };
    for (const manager_case& c : {manager_case{dir.path(), -ENXIO},
                                  manager_case{dir.file("missing"), -ENOENT}}) {
        for (const std::string& name : {instantiate_name, clean_name}) {
            std::vector<std::string> args = {"-l", c.manager};
            if (name == instantiate_name)
                args.push_back(file);
            args.push_back("disk1");
            run_result r = disk_tool(name, args);
            EXPECT_EQ(r.status, shell_status(c.code));
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, name + ": Unable to open manager: " + strerror(-c.code) + "\n");
        }
    }
}

// Mounts made by the test are kept in a mount namespace of the test process
// alone, so they vanish with it even if the test dies.
bool enter_private_mounts(std::string* why) {
    static int entered = 0;
    if (entered == 0) {
        if (unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
            entered = 1;
        else
            entered = -errno;
    }
    if (entered < 0)
        *why = std::string("private mount namespace: ") + strerror(-entered);
    return entered > 0;
}

// A tmpfs with disks/ inside, standing in for the manager filesystem.
class tmpfs_manager {
public:
    std::string mount_at(const std::string& dir, unsigned long flags = 0) {
        if (mkdir(dir.c_str(), 0755) < 0)
            return dir + ": " + strerror(errno);
        if (mount("vlm-test-manager", dir.c_str(), "tmpfs", flags, "mode=0755") < 0)
            return "mount tmpfs on " + dir + ": " + strerror(errno);
        path_ = dir;
        if (mkdir(disks().c_str(), 0755) < 0)
            return disks() + ": " + strerror(errno);
        return "";
    }
    ~tmpfs_manager() {
        if (!path_.empty())
            umount2(path_.c_str(), MNT_DETACH);
    }
    const std::string& path() const { return path_; }
    std::string disks() const { return path_ + "/disks"; }
    std::string node(const std::string& label) const { return disks() + "/" + label; }

private:
    std::string path_;
};

long entries_in(const std::string& dir) {
    return std::distance(std::filesystem::directory_iterator(dir),
                         std::filesystem::directory_iterator());
}

class DiskOnLoop : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_LOOP_DEVICES();
        std::string why;
        ASSERT_TRUE(enter_private_mounts(&why)) << why;
        ASSERT_EQ(loop.attach(dir.file("disk.img"), 4 << 20), "");
        ASSERT_EQ(manager.mount_at(dir.file("manager")), "");
    }
    run_result instantiate(const std::vector<std::string>& operands) {
        return on_manager(instantiate_name, manager.path(), operands);
    }
    run_result clean(const std::string& label) {
        return on_manager(clean_name, manager.path(), {label});
    }
    run_result on_manager(const std::string& name, const std::string& where,
                          const std::vector<std::string>& operands) {
        std::vector<std::string> args = {"-l", where};
        args.insert(args.end(), operands.begin(), operands.end());
        return disk_tool(name, args, managers);
    }
    void expect_node(const std::string& label, mode_t permissions) {
        struct stat st;
        ASSERT_EQ(lstat(manager.node(label).c_str(), &st), 0) << manager.node(label);
        EXPECT_TRUE(S_ISBLK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, permissions);
        EXPECT_EQ(major(st.st_rdev), major(loop.rdev()));
        EXPECT_EQ(minor(st.st_rdev), minor(loop.rdev()));
    }

    scratch_dir dir;
    loop_device loop;
    tmpfs_manager manager;
    std::string managers = dir.file("manager");
};

TEST_F(DiskOnLoop, InstantiateFoldsTheLabelAndCleanRemovesTheNode) {
    run_result r = instantiate({loop.path(), "data1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    expect_node("DATA1", 0600);
    EXPECT_EQ(entries_in(manager.disks()), 1);

    // The permission bits go through the umask like any file's.
    mode_t old = umask(0277);
    r = instantiate({loop.path(), "Narrow"});
    umask(old);
    ASSERT_EQ(r.status, 0) << r.err;
    expect_node("NARROW", 0400);

    r = clean("data1");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(access(manager.node("DATA1").c_str(), F_OK), -1);
    r = clean("data1");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, clean_name + ": Unable to remove TEV disk \"DATA1\": No such file or directory\n");
    EXPECT_EQ(clean("NARROW").status, 0);
    EXPECT_EQ(entries_in(manager.disks()), 0);
}

TEST_F(DiskOnLoop, LinkedTargetAndManagerWithTrailingSlash) {
    std::string link = dir.file("link-to-disk");
    ASSERT_EQ(symlink(loop.path().c_str(), link.c_str()), 0);
    run_result r = on_manager(instantiate_name, manager.path() + "/", {link, "LINKED"});
    ASSERT_EQ(r.status, 0) << r.err;
    expect_node("LINKED", 0600);
    r = on_manager(clean_name, manager.path() + "/", {"linked"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(entries_in(manager.disks()), 0);
}

TEST_F(DiskOnLoop, TargetThatIsNoBlockDeviceMakesNoNode) {
    std::string file = dir.file("plain");
    write_file(file, std::string(4096, 'x'));
    struct target_case {
        std::string path;
        int code;
    };
    for (const target_case& c : {target_case{file, -ENOTBLK}, target_case{"/dev/null", -ENOTBLK},
                                 target_case{dir.file("missing"), -ENOENT}}) {
        run_result r = instantiate({c.path, "NONE"});
        EXPECT_EQ(r.status, shell_status(c.code));
        EXPECT_EQ(r.err, instantiate_name + ": Unable to open device \"" + c.path + "\": " +
                             strerror(-c.code) + "\n");
    }
    EXPECT_EQ(entries_in(manager.disks()), 0);
    EXPECT_EQ(read_file(file), std::string(4096, 'x'));
}

TEST_F(DiskOnLoop, ExistingNodeIsLeftUntouched) {
    std::string taken = manager.node("TAKEN");
    ASSERT_EQ(mknod(taken.c_str(), S_IFBLK | 0640, makedev(7, 255)), 0);
    struct stat before;
    ASSERT_EQ(lstat(taken.c_str(), &before), 0);
    run_result r = instantiate({loop.path(), "taken"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, instantiate_name + ": Unable to create TEV disk \"TAKEN\": File exists\n");
    struct stat after;
    ASSERT_EQ(lstat(taken.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_rdev, before.st_rdev);
}

// With a standard descriptor closed the refusal still goes to standard error
// or nowhere: never into the device, which takes the free number otherwise.
TEST_F(DiskOnLoop, ClosedStandardDescriptorsKeepTheDeviceIntact) {
    std::string bytes(8192, 'd');
    write_bytes(loop.path(), 0, bytes);
    ASSERT_EQ(mknod(manager.node("TAKEN").c_str(), S_IFBLK | 0640, makedev(7, 255)), 0);
    std::string refused = instantiate_name + ": Unable to create TEV disk \"TAKEN\": File exists\n";
    for (int fd : {0, 1, 2}) {
        SCOPED_TRACE("closed descriptor " + std::to_string(fd));
        run_spec spec;
        spec.program = sbin(instantiate_name);
        spec.args = {"-l", manager.path(), loop.path(), "taken"};
        spec.preload = true;
        spec.env = {{"VLM_TESTBED_MANAGERS", managers}};
        spec.closed_fd = fd;
        run_result r = run(spec);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, fd == 2 ? "" : refused);
        EXPECT_TRUE(read_bytes(loop.path(), 0, bytes.size()) == bytes) << "the device changed";
    }
}

// On a manager mounted nodev the node is made but does not open; it must not
// be left behind.
TEST_F(DiskOnLoop, NodeThatDoesNotOpenIsRemovedAgain) {
    tmpfs_manager nodev;
    ASSERT_EQ(nodev.mount_at(dir.file("nodev"), MS_NODEV), "");
    managers += ":" + nodev.path();
    run_result r = on_manager(instantiate_name, nodev.path(), {loop.path(), "closed"});
    EXPECT_EQ(r.status, shell_status(-EACCES));
    EXPECT_EQ(r.err, instantiate_name + ": Unable to open TEV disk \"CLOSED\": Permission denied\n");
    EXPECT_EQ(entries_in(nodev.disks()), 0);
}

}  // namespace
