// The testbed's driver tool on a stand-in manager and loop devices: the
// answers and failure texts that tevscan decides by.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support.h"

using namespace vlm::test;

namespace {

class tool_world {
public:
    tool_world() { std::filesystem::create_directories(disks); }

    run_result tool(const std::vector<std::string>& args) const {
        run_spec spec;
        spec.program = testbed("bin/tevtool");
        spec.args = args;
        return run(spec);
    }
    run_result disk_query(const std::string& name) const {
        return tool({"-I", "-l", manager, "-n", name});
    }
    run_result device_query(const std::string& device) const {
        return tool({"-I", "-l", manager, "-n", device, "-a", "label"});
    }
    run_result create(const std::string& label, const std::string& device) const {
        return tool({"-C", "-l", manager, "-n", label, "-s", device, "-a", "mark=no"});
    }
    std::string node(const std::string& name) const { return disks + "/" + name; }

    scratch_dir dir;
    std::string manager = dir.file("manager");
    std::string disks = manager + "/disks";
};

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(TevtoolStandIn, DeviceQueryAndCreateFollowTheDeviceLabel) {
    REQUIRE_LOOP_DEVICES();
    tool_world w;
    loop_device labelled, blank;
    ASSERT_EQ(labelled.attach(w.dir.file("l.img"), 1 << 20), "");
    ASSERT_EQ(blank.attach(w.dir.file("b.img"), 1 << 20), "");
    ASSERT_EQ(run_program("velmortev-write-label", {labelled.path(), "disk_7"}).status, 0);

    run_result r = w.device_query(labelled.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Device \"" + labelled.path() + "\" is marked as disk \"DISK_7\"\n");
    r = w.device_query(blank.path());
    EXPECT_EQ(r.status, shell_status(-ENXIO));
    EXPECT_TRUE(holds(r.err, "not marked")) << r.err;
    r = w.device_query(w.dir.file("missing"));
    EXPECT_EQ(r.status, shell_status(-ENOENT));
    EXPECT_TRUE(holds(r.err, "No such")) << r.err;
    r = w.tool({"-I", "-l", w.manager, "-n", labelled.path(), "-a", "size"});
    EXPECT_TRUE(holds(r.err, "Invalid argument")) << r.err;

    EXPECT_EQ(w.create("DISK_7", labelled.path()).status, 0);
    struct stat st;
    ASSERT_EQ(stat(w.node("DISK_7").c_str(), &st), 0);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_rdev, labelled.rdev());
    r = w.create("DISK_7", labelled.path());
    EXPECT_EQ(r.status, shell_status(-EEXIST));
    EXPECT_TRUE(holds(r.err, "File exists")) << r.err;

    // A name that would leave disks/ is refused before anything is made.
    r = w.create("../ESCAPED", labelled.path());
    EXPECT_EQ(r.status, shell_status(-EINVAL));
    EXPECT_FALSE(std::filesystem::exists(w.manager + "/ESCAPED"));
    r = w.create("PLAIN", w.dir.file("l.img"));
    EXPECT_EQ(r.status, shell_status(-ENOTBLK));
}

TEST(TevtoolStandIn, DiskQueryAndDeleteJudgeTheNodes) {
    REQUIRE_LOOP_DEVICES();
    tool_world w;
    loop_device a;
    ASSERT_EQ(a.attach(w.dir.file("a.img"), 1 << 20), "");
    ASSERT_EQ(run_program("velmortev-write-label", {a.path(), "DATA1"}).status, 0);
    ASSERT_EQ(w.create("DATA1", a.path()).status, 0);
    ASSERT_EQ(mknod(w.node("OLD").c_str(), S_IFBLK | 0600, a.rdev()), 0);
    write_file(w.node("FILE"), "");

    run_result r = w.disk_query("DATA1");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(holds(r.out, "valid TEV disk")) << r.out;
    // Gone, relabelled or never a node: "Unable to" with a reason that
    // tevscan cleans.
    for (const char* name : {"MISSING", "OLD"}) {
        r = w.disk_query(name);
        EXPECT_EQ(r.status, shell_status(-ENODEV)) << name;
        EXPECT_TRUE(holds(r.err, "Unable to") && holds(r.err, "No such device")) << r.err;
    }
    r = w.disk_query("FILE");
    EXPECT_EQ(r.status, shell_status(-EINVAL));
    EXPECT_TRUE(holds(r.err, "Unable to") && holds(r.err, "Invalid argument")) << r.err;

    EXPECT_EQ(w.tool({"-D", "-l", w.manager, "-n", "OLD"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(w.node("OLD")));
    r = w.tool({"-D", "-l", w.manager, "-n", "OLD"});
    EXPECT_EQ(r.status, shell_status(-ENOENT));
    EXPECT_EQ(w.tool({"-D", "-l", w.manager, "-n", ".."}).status, shell_status(-EINVAL));
    EXPECT_TRUE(std::filesystem::exists(w.disks));
}

}  // namespace
