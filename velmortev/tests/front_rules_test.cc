// SPDX-License-Identifier: GPL-2.0-or-later
// The front end's rules in this process: the configuration's lines and
// files, the choice of managers, and what a sysfs tree says about a device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"
#include "velmortev/config.h"
#include "velmortev/managers.h"
#include "velmortev/sysfs.h"

using namespace vlm;
using namespace vlm::test;

namespace {

using words = std::vector<std::string>;

struct line_case {
    std::string text;
    std::string problem;  // empty: accepted
    words managers;
    words order;
};

// Each case is one file "f"; the values are checked where it is accepted.
TEST(FrontConfig, LinesAreReadOrRefusedNamingFileAndLine) {
    const std::vector<line_case> cases = {
        {"MANAGERS=\"/mnt/a /mnt/b\"\n", "", {"/mnt/a", "/mnt/b"}, {}},
        {"# a comment\n\n  SCAN_ORDER = dm\tsd  \n", "", {}, {"dm", "sd"}},
        {"SCAN_ORDER=dm\nSCAN_ORDER=\"\"\n", "", {}, {}},
        {"MANAGERS=/mnt/a\nBACKUP_DIR=backups\n", "f:2: BACKUP_DIR is not an absolute path", {}, {}},
        {"BACKUP_DIR=\"/a /b\"", "f:1: BACKUP_DIR must be one absolute path", {}, {}},
        {"MANAGERS=/mnt/a mnt/b", "f:1: MANAGERS is not an absolute path", {}, {}},
        {"SCAN_EXCLUDE=sd dev/sd", "f:1: SCAN_EXCLUDE is a pattern with a '/'", {}, {}},
        {"\n\nSCAN_ORDER", "f:3: a line without '='", {}, {}},
        {"MANAGER=/mnt/a", "f:1: unknown key \"MANAGER\"", {}, {}},
        {"SCAN_ORDER=\"dm sd", "f:1: a value without its closing '\"'", {}, {}},
    };
    for (const line_case& c : cases) {
        settings s;
        std::string problem;
        int rc = parse_config_text(c.text, "f", s, problem);
        EXPECT_EQ(problem, c.problem) << c.text;
        EXPECT_EQ(rc, c.problem.empty() ? 0 : -EINVAL) << c.text;
        if (c.problem.empty()) {
            EXPECT_EQ(s.managers.values, c.managers) << c.text;
            EXPECT_EQ(s.scan_order.values, c.order) << c.text;
        }
    }
}

struct config_tree {
    scratch_dir dir;
    std::string conf = dir.file("velmortev.conf");
    std::string drop_ins = dir.file("conf.d");
    config_tree() { std::filesystem::create_directory(drop_ins); }
    std::string drop_in(const std::string& name, const std::string& text) const {
        std::string path = drop_ins + "/" + name;
        write_file(path, text);
        chmod(path.c_str(), 0644);
        return path;
    }
};

// The main file first, then the drop-ins in byte order of their names
// ("10" before "9", upper case before lower): a later value replaces an
// earlier one and names its own file and line. Other names are not read.
TEST(FrontConfig, DropInsFollowTheMainFileInByteOrder) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the files must belong to root";
    config_tree t;
    write_file(t.conf, "SCAN_ORDER=sd\nSCAN_EXCLUDE=loop\nBACKUP_DIR=/b0\n");
    t.drop_in("9-late.conf", "SCAN_ORDER=dm\n");
    std::string early = t.drop_in("10-early.conf", "SCAN_ORDER=nvme\n\nBACKUP_DIR=/b1\n");
    t.drop_in("A.conf", "\nSCAN_EXCLUDE=sr\n");
    std::string last = t.drop_in("a.conf", "# last\nSCAN_EXCLUDE=ram\n");
    t.drop_in("z.conf.disabled", "SCAN_ORDER=\"no such key\n");
    t.drop_in(".hidden.conf", "BOGUS=1\n");

    settings s;
    std::string problem;
    ASSERT_EQ(load_config(t.dir.path(), s, problem), 0) << problem;
    EXPECT_EQ(s.scan_order.values, words{"dm"});
    EXPECT_EQ(s.scan_order.file, t.drop_ins + "/9-late.conf");
    EXPECT_EQ(s.scan_exclude.values, words{"ram"});
    EXPECT_EQ(s.scan_exclude.file, last);
    EXPECT_EQ(s.scan_exclude.line, 2u);
    EXPECT_EQ(s.backup_dir.values, words{"/b1"});
    EXPECT_EQ(s.backup_dir.file, early);
    EXPECT_EQ(s.backup_dir.line, 3u);
    EXPECT_TRUE(s.managers.values.empty());
    EXPECT_EQ(s.managers.file, "");
}

// A file that anyone but root could have written is refused by name; so is
// a bad line in a later file, which names that file.
TEST(FrontConfig, UnsafeOrWrongFilesAreRefusedByName) {
    if (geteuid() != 0)
        GTEST_SKIP() << "the files must belong to root";
    struct {
        mode_t mode;
        uid_t owner;
        std::string text;
        std::string problem;
        int status;
    } cases[] = {
        {0664, 0, "SCAN_ORDER=sd\n", ": writable by group or others, refused", -EPERM},
        {0646, 0, "SCAN_ORDER=sd\n", ": writable by group or others, refused", -EPERM},
        {0644, 1000, "SCAN_ORDER=sd\n", ": not owned by root, refused", -EPERM},
        {0644, 0, "SCAN_ORDER=sd\nFOO=1\n", ":2: unknown key \"FOO\"", -EINVAL},
    };
    for (auto& c : cases) {
        config_tree t;
        write_file(t.conf, "SCAN_ORDER=dm\n");
        chmod(t.conf.c_str(), 0644);
        std::string bad = t.drop_in("50-bad.conf", c.text);
        ASSERT_EQ(chmod(bad.c_str(), c.mode), 0);
        ASSERT_EQ(chown(bad.c_str(), c.owner, 0), 0);
        settings s;
        std::string problem;
        EXPECT_EQ(load_config(t.dir.path(), s, problem), c.status) << c.problem;
        EXPECT_EQ(problem, bad + c.problem);
    }
}

TEST(FrontManagers, GivenPathsComeFirstAndMustPassTheCheck) {
    scratch_dir dir;
    std::string mountinfo = dir.file("mountinfo");
    write_file(mountinfo, "22 1 0:21 / " + dir.path() + " rw - tmpfs tmpfs rw\n");
    std::vector<std::string> out;
    std::string problem;
    // A given path wins over a configured one and is checked.
    EXPECT_EQ(choose_managers({dir.path()}, {"/nonexistent"}, mountinfo.c_str(), out, problem),
              -ENXIO);
    EXPECT_EQ(problem, "manager \"" + dir.path() + "\": No such device or address");
    problem.clear();
    EXPECT_EQ(choose_managers({}, {"/nonexistent/m"}, mountinfo.c_str(), out, problem), -ENOENT);
    EXPECT_EQ(problem, "manager \"/nonexistent/m\": No such file or directory");
    // Neither: the mount table, which holds no manager here.
    problem.clear();
    EXPECT_EQ(choose_managers({}, {}, mountinfo.c_str(), out, problem), -ENOENT);
    EXPECT_EQ(problem, "no mounted manager was found in " + mountinfo);
    EXPECT_TRUE(out.empty());
}

TEST(FrontManagers, MountPointsLoseTheirOctalEscapes) {
    EXPECT_EQ(unescape_mount_point("/mnt/a\\040b\\011c"), "/mnt/a b\tc");
    EXPECT_EQ(unescape_mount_point("/mnt/x\\04"), "/mnt/x\\04");
    EXPECT_EQ(unescape_mount_point("/mnt/back\\134slash"), "/mnt/back\\slash");
}

// A sysfs tree with one multipath map (dm-3) over two paths of one disk,
// sdb and sdc, a partition of each path, and a map of another kind.
struct sysfs_fixture {
    scratch_dir dir;
    std::string block = dir.file("block");
    void file(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(block + "/" + path).parent_path());
        write_file(block + "/" + path, text);
    }
    void dir_of(const std::string& path) { std::filesystem::create_directories(block + "/" + path); }
    sysfs_fixture() {
        file("dm-3/dm/uuid", "mpath-3600a0b80\n");
        file("dm-3/dm/name", "mpatha\n");
        dir_of("dm-3/slaves/sdc");
        dir_of("dm-3/slaves/sdb");
        file("dm-4/dm/uuid", "LVM-abc\n");
        dir_of("dm-4/slaves/sda");
        file("sdb/device/wwid", "naa.600a0b80 \n");
        file("sdb/device/vpd_pg80", std::string("\0\x80\0\x04", 4) + "S123");
        file("sdb/sdb1/partition", "1\n");
        dir_of("sdb/sdb1/holders/dm-9");
        file("sdc/device/wwid", "naa.600a0b80\n");
        file("sda/wwid", "t10.ATA disk\n");
        file("sda/device/serial", "SER-A\n");
        file("loop0/size", "8\n");
        // A partition found through class/block, as the kernel links it.
        dir_of("sdc/sdc1");
        std::filesystem::create_directories(dir.file("class/block"));
        std::filesystem::create_directory_symlink("../../block/sdc/sdc1",
                                                  dir.file("class/block/sdc1"));
    }
};

TEST(FrontSysfs, MapsPathsPartitionsAndIdentities) {
    sysfs_fixture f;
    sysfs_view view;
    view.root = f.dir.path();
    struct {
        std::string name;
        std::string wwid, serial, map, map_name;
        words paths;
    } cases[] = {
        {"dm-3", "naa.600a0b80", "", "dm-3", "mpatha", {"sdb", "sdc"}},
        {"sdb", "naa.600a0b80", "S123", "dm-3", "mpatha", {"sdb", "sdc"}},
        {"sdb1", "naa.600a0b80", "S123", "dm-3", "mpatha", {"sdb", "sdc"}},
        {"sdc", "naa.600a0b80", "", "dm-3", "mpatha", {"sdb", "sdc"}},
        {"sdc1", "naa.600a0b80", "", "dm-3", "mpatha", {"sdb", "sdc"}},
        {"sda", "t10.ATA disk", "SER-A", "", "", {}},  // under a map of another kind
        {"loop0", "", "", "", "", {}},
    };
    for (auto& c : cases) {
        device_facts facts = view.facts(c.name);
        EXPECT_EQ(facts.wwid, c.wwid) << c.name;
        EXPECT_EQ(facts.serial, c.serial) << c.name;
        EXPECT_EQ(facts.map, c.map) << c.name;
        EXPECT_EQ(facts.map_name, c.map_name) << c.name;
        EXPECT_EQ(facts.map_paths, c.paths) << c.name;
    }
    EXPECT_EQ(view.whole_disk("sdb1"), "sdb");
    EXPECT_EQ(view.holders("sdb1"), words{"dm-9"});
    EXPECT_EQ(view.holders("sda"), words{});
}

}  // namespace
