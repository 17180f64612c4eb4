// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev run as an administrator would, on loop devices of the test's
// own: the partition table shows only them, a tmpfs directory mounted in
// the run's namespace plays the manager (the testbed's layer gives it the
// manager's type), and the configuration lives in the test's directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "loop_world.h"
#include "reliability.h"
#include "support.h"

using namespace vlm::test;
using args = std::vector<std::string>;

namespace {

std::string name_of(const loop_device& l) { return l.path().substr(5); }

std::string number_of(const loop_device& l) {
    return std::to_string(major(l.rdev())) + ":" + std::to_string(minor(l.rdev()));
}

struct front_world : loop_world {
    std::string backups = dir.file("backups");

    front_world() { conf("velmortev.conf", "BACKUP_DIR=" + backups + "\n"); }

    void conf(const std::string& name, const std::string& text) const {
        std::string path = name == "velmortev.conf" ? etc + "/" + name : etc + "/conf.d/" + name;
        write_file(path, text);
        chmod(path.c_str(), 0644);
    }

    run_spec spec(const args& arguments) const {
        run_spec s = front_spec(arguments);
        s.env.push_back({"PATH", sbin("") + ":" + testbed("bin") + ":" + std::getenv("PATH")});
        return s;
    }
    run_result velmortev(const args& arguments) const { return run(spec(arguments)); }

    // A digest of the device's bytes: a failure then shows no megabytes.
    size_t bytes(int i) const { return std::hash<std::string>()(read_file(loops[i].backing())); }
    std::vector<size_t> all_bytes() const { return {bytes(0), bytes(1), bytes(2)}; }
    std::string label_of(int i) const {
        return run_program("velmortev-read-label", {dev(i)}).out;
    }
    bool node_for(const std::string& label, int i) const {
        struct stat st;
        return lstat((disks + "/" + label).c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
               st.st_rdev == loops[i].rdev();
    }
    std::vector<std::string> nodes() const {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(disks))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> backup_files() const {
        std::vector<std::string> files;
        if (std::filesystem::exists(backups))
            for (auto& e : std::filesystem::directory_iterator(backups))
                files.push_back(e.path());
        std::sort(files.begin(), files.end());
        return files;
    }
};

#define REQUIRE_WORLD(w)                                         \
    REQUIRE_LOOP_DEVICES();                                      \
    front_world w;                                               \
    ASSERT_EQ(w.attached, "")

struct usage_case {
    args arguments;
    std::string message;  // after "velmortev: "; the verb's usage follows
};

// Usage errors end the run before the configuration, a manager or a device
// is looked at: none of these cases has a world.
TEST(FrontCommandLine, UsageErrorsComeFirst) {
    const std::vector<usage_case> cases = {
        {{}, "You must specify a verb\n"},
        {{"frobnicate"}, "Unknown verb \"frobnicate\"\n"},
        {{"list", "--replace"}, "Option '--replace' is not one of list\n"},
        {{"config", "-n"}, "Option '--dry-run' is not one of config\n"},
        {{"rename", "--device", "/dev/x", "A", "B"}, "Option '--device' is not one of rename\n"},
        {{"list", "-o", "yaml"}, "Unknown output format \"yaml\"\n"},
        {{"scan", "-o", "json"}, "Option '-o json' needs '--dry-run' with scan\n"},
        {{"create", "/dev/x"}, "You must specify a device and a label\n"},
        {{"show"}, "You must specify a label or a device\n"},
        {{"restore"}, "You must specify a backup\n"},
        {{"rename", "A", "B", "C"}, "Too many arguments\n"},
        {{"list", "-m"}, "Option '-m' requires an argument\n"},
        {{"list", "--bogus"}, "Invalid option: '--bogus'\n"},
        {{"list", "-q"}, "Invalid option: '-q'\n"},
        {{"create", "/dev/x", "1abc"}, "Invalid characters in label: '1'\n"},
        {{"rename", "a", std::string(25, 'b')}, "Label size exceeds '24' characters\n"},
        {{"delete", "a-b"}, "Invalid characters in label: '-'\n"},
        {{"list", "--assume-label", "/dev/x=A"}, "Option '--assume-label' is not one of list\n"},
        {{"scan", "--assume-label", "/dev/x=A"}, "Option '--assume-label' needs '--dry-run'\n"},
        {{"scan", "-n", "--assume-label", "/dev/x"}, "Option '--assume-label' needs <device>=<label>\n"},
        {{"scan", "-n", "--assume-label", "/dev/x=1a"}, "Invalid characters in label: '1'\n"},
    };
    for (const usage_case& c : cases) {
        run_result r = run_program("velmortev", c.arguments);
        EXPECT_EQ(r.status, shell_status(-EINVAL)) << c.message;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_EQ(r.err.substr(0, r.err.find("Usage: ")), "velmortev: " + c.message);
    }
}

TEST(FrontCommandLine, HelpAndVersion) {
    run_result r = run_program("velmortev", {"-h"});
    EXPECT_EQ(r.status, 0);
    for (const char* verb : {"list", "show", "create", "delete", "rename", "scan", "config",
                             "restore"})
        EXPECT_NE(r.out.find(std::string("\n  ") + verb + " "), std::string::npos) << verb;
    r = run_program("velmortev", {"create", "--help", "/dev/x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: velmortev create ", 0), 0u) << r.out;
    r = run_program("velmortev", {"-V"});
    EXPECT_EQ(r.out, "velmortev version 2.1.10\n");
}

// Without -m the mounted managers are found; a given or configured path
// must pass the manager check; nothing mounted is an error of its own.
TEST(FrontManagers, FoundWithoutOptionOrRefusedByName) {
    REQUIRE_WORLD(w);
    run_result r = w.velmortev({"config"});
    ASSERT_EQ(r.status, 0) << r.err;
    w.write_label(0, "data1");

    r = w.velmortev({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("DATA1 " + w.dev(0) + " "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" " + w.manager + "=missing\n"), std::string::npos) << r.out;

    r = w.velmortev({"list", "-m", w.etc});
    EXPECT_EQ(r.status, shell_status(-ENXIO));
    EXPECT_EQ(r.err, "velmortev: manager \"" + w.etc + "\": No such device or address\n");

    w.conf("10-managers.conf", "MANAGERS=\"" + w.manager + " /nonexistent/m\"\n");
    r = w.velmortev({"list"});
    EXPECT_EQ(r.status, shell_status(-ENOENT));
    EXPECT_EQ(r.err, "velmortev: manager \"/nonexistent/m\": No such file or directory\n");
    EXPECT_EQ(r.out, "");

    w.conf("10-managers.conf", "");
    run_spec s = w.spec({"list"});
    s.preload = false;  // no manager type anywhere
    r = run(s);
    EXPECT_EQ(r.status, shell_status(-ENOENT));
    EXPECT_EQ(r.err, "velmortev: no mounted manager was found in /proc/self/mountinfo\n");
}

// The effective settings with the file and line that set each; a wrong
// line anywhere stops every verb before it looks at a device.
TEST(FrontConfigFiles, EffectiveValuesAndErrorsThatStopEverything) {
    REQUIRE_WORLD(w);
    w.conf("20-scan.conf", "SCAN_ORDER=\"dm sd\"\n");
    w.conf("10-scan.conf", "SCAN_ORDER=loop\nSCAN_EXCLUDE=sr\n");
    run_result r = w.velmortev({"config"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "MANAGERS=\"\"\t# default\n"
                     "SCAN_ORDER=\"dm sd\"\t# " + w.etc + "/conf.d/20-scan.conf:1\n"
                     "SCAN_EXCLUDE=\"sr\"\t# " + w.etc + "/conf.d/10-scan.conf:2\n"
                     "BACKUP_DIR=\"" + w.backups + "\"\t# " + w.etc + "/velmortev.conf:1\n"
                     "METRICS_DIR=\"/var/lib/prometheus/node-exporter\"\t# default\n");

    r = w.velmortev({"config", "-o", "json"});
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["settings"]["SCAN_ORDER"]["value"], nlohmann::json({"dm", "sd"}));
    EXPECT_EQ(doc["settings"]["SCAN_ORDER"]["line"], 1);
    EXPECT_EQ(doc["settings"]["MANAGERS"]["origin"], "default");

    w.conf("30-bad.conf", "# fine\nSCAN_EXCLUDE=dev/sd\n");
    std::vector<size_t> before = w.all_bytes();
    for (const args& a : {args{"config"}, args{"create", "-y", w.dev(1), "data2"}}) {
        r = w.velmortev(a);
        EXPECT_EQ(r.status, shell_status(-EINVAL)) << a[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "velmortev: " + w.etc +
                             "/conf.d/30-bad.conf:2: SCAN_EXCLUDE is a pattern with a '/'\n");
    }
    EXPECT_EQ(w.all_bytes(), before);
    EXPECT_EQ(w.nodes(), std::vector<std::string>{});
}

struct refusal_case {
    std::string what;
    args arguments;
    int status;
    std::string err;
};

// What create (and rename) refuse, each naming what is in the way; the device asked
// for is left as it was. Device 0 carries DATA1, device 2 is held open
// exclusively (as a mount or a map would hold it).
TEST(FrontCreate, RefusalsNameWhatIsInTheWay) {
    REQUIRE_WORLD(w);
    w.write_label(0, "data1");
    int held = open(w.dev(2).c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(held, 0);
    std::string plain = w.dir.file("plain");
    write_file(plain, std::string(4096, '\0'));
    const std::vector<refusal_case> cases = {
        {"another device's label", {"create", w.dev(1), "Data1"}, -EEXIST,
         "velmortev: Label \"DATA1\" is already carried by \"" + w.dev(0) + "\"\n"},
        {"a label there already", {"create", w.dev(0), "data7"}, -EEXIST,
         "velmortev: Device \"" + w.dev(0) +
             "\" already carries the label \"DATA1\" (--replace replaces it)\n"},
        {"refused in JSON: nothing on standard output", {"create", "-o", "json", w.dev(1), "Data1"},
         -EEXIST, "velmortev: Label \"DATA1\" is already carried by \"" + w.dev(0) + "\"\n"},
        {"in use", {"create", w.dev(2), "data3"}, -EBUSY,
         "velmortev: Unable to open device \"" + w.dev(2) +
             "\" exclusively: Device or resource busy\n"},
        {"the same label", {"rename", "data1", "DATA1"}, -EINVAL,
         "velmortev: The old and the new label are the same: \"DATA1\"\n"},
        {"not a block device", {"create", plain, "data3"}, -ENOTBLK,
         "velmortev: Unable to open device \"" + plain + "\" exclusively: Block device required\n"},
    };
    std::vector<size_t> before = w.all_bytes();
    for (const refusal_case& c : cases) {
        run_result r = w.velmortev(c.arguments);
        EXPECT_EQ(r.status, shell_status(c.status)) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
    }
    close(held);
    EXPECT_EQ(w.all_bytes(), before);
    EXPECT_EQ(w.nodes(), std::vector<std::string>{});
}

// Create writes nothing when its backup fails; otherwise it prints each step
// done, and the label and the node are there; the
// JSON list shows them, a stray node, a left-out device and a label that
// is not plain text.
TEST(FrontCreate, StepsDoneAndTheListInJson) {
    REQUIRE_WORLD(w);
    // A backup that cannot be made: nothing is written, no node is made.
    w.conf("90-backup.conf", "BACKUP_DIR=/dev/null/backups\n");
    size_t before = w.bytes(0);
    run_result r = w.velmortev({"create", w.dev(0), "data1"});
    EXPECT_EQ(r.status, shell_status(-ENOTDIR));
    EXPECT_EQ(r.err, "velmortev: Unable to save bytes 0-511 of " + w.dev(0) +
                         " to /dev/null/backups/: Not a directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(w.bytes(0), before);
    EXPECT_EQ(w.nodes(), std::vector<std::string>{});
    // In JSON a step that fails still gives the one document, with its status.
    r = w.velmortev({"create", "-o", "json", w.dev(0), "data1"});
    EXPECT_EQ(r.status, shell_status(-ENOTDIR));
    nlohmann::json failed = nlohmann::json::parse(r.out);
    EXPECT_EQ(failed["status"], -ENOTDIR);
    EXPECT_EQ(failed["steps"], nlohmann::json::array());
    EXPECT_EQ(w.bytes(0), before);
    w.conf("90-backup.conf", "");

    r = w.velmortev({"create", w.dev(0), "data1"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> saved = w.backup_files();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(r.out, "Saved bytes 0-511 of " + w.dev(0) + " to " + saved[0] + "\n" +
                         "Labelled " + w.dev(0) + " DATA1\n" +
                         "Created node " + w.disks + "/DATA1 for " + w.dev(0) + "\n");
    EXPECT_EQ(w.label_of(0), "DATA1:" + w.dev(0) + "\n");
    EXPECT_TRUE(w.node_for("DATA1", 0));

    // A label block with a control byte and a high byte, written raw.
    write_bytes(w.loops[1].backing(), 32, std::string("VLMRDISK\x01Z\xff", 11));
    ASSERT_EQ(mknod((w.disks + "/GHOST").c_str(), S_IFBLK | 0600, w.loops[2].rdev()), 0);
    w.write_label(2, "data1");
    w.conf("10-exclude.conf", "SCAN_EXCLUDE=" + name_of(w.loops[2]) + "\n");

    r = w.velmortev({"list", "-o", "json"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["version"], nlohmann::json({{"major", 1}, {"minor", 0}}));
    ASSERT_EQ(doc["devices"].size(), 2u) << r.out;
    const nlohmann::json& first = doc["devices"][0];
    EXPECT_EQ(first["label"], "DATA1");
    EXPECT_EQ(first["label_hex"], "4441544131");
    EXPECT_EQ(first["device"], w.dev(0));
    EXPECT_EQ(first["size"], loop_world::device_size);
    EXPECT_EQ(first["signatures"], nlohmann::json::array());
    EXPECT_EQ(first["duplicates"], nlohmann::json::array({w.dev(2)}));  // excluded, still there
    EXPECT_TRUE(first["multipath"].is_null());
    EXPECT_EQ(first["nodes"], nlohmann::json::array({{{"manager", w.manager},
                                                      {"present", true},
                                                      {"this_device", true},
                                                      {"stands_for", number_of(w.loops[0])}}}));
    EXPECT_EQ(doc["devices"][1]["label"], "\\x01Z\\xff");
    EXPECT_EQ(doc["devices"][1]["label_hex"], "015aff");
    EXPECT_EQ(doc["devices"][1]["nodes"][0]["present"], false);
    EXPECT_EQ(doc["stray_nodes"], nlohmann::json::array({{{"manager", w.manager},
                                                          {"name", "GHOST"},
                                                          {"stands_for", number_of(w.loops[2])}}}));
    EXPECT_EQ(doc["excluded"], nlohmann::json::array({w.dev(2)}));
}

// A device that holds ext4: refused naming it; erased only with
// --wipe-signatures and --yes, after its regions were saved readable by
// root alone; restoring every saved region brings back every byte.
TEST(FrontSignatures, Ext4IsRefusedThenWipedAndRestoredByteForByte) {
    REQUIRE_WORLD(w);
    run_spec mkfs_spec;
    mkfs_spec.program = "/sbin/mkfs.ext4";
    mkfs_spec.args = {"-q", "-F", w.dev(1)};
    run_result mkfs = run(mkfs_spec);
    if (mkfs.status != 0)
        GTEST_SKIP() << "mkfs.ext4 is needed: " << mkfs.err;
    size_t original = w.bytes(1);

    run_result r = w.velmortev({"create", w.dev(1), "data2"});
    EXPECT_EQ(r.status, shell_status(-EEXIST));
    EXPECT_EQ(r.err, "velmortev: Device \"" + w.dev(1) +
                         "\" holds signatures of other owners: ext4 at offset 1080"
                         " (--wipe-signatures erases them)\n");
    r = w.velmortev({"create", "--wipe-signatures", w.dev(1), "data2"});
    EXPECT_EQ(r.status, shell_status(-EPERM));
    EXPECT_EQ(r.err, "velmortev: Standard input is not a terminal: create needs --yes\n");
    EXPECT_EQ(w.bytes(1), original);
    EXPECT_EQ(w.backup_files(), std::vector<std::string>{});

    r = w.velmortev({"create", "--wipe-signatures", "-y", w.dev(1), "data2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Erased the signatures on " + w.dev(1) + "\n"), std::string::npos);
    EXPECT_EQ(w.label_of(1), "DATA2:" + w.dev(1) + "\n");
    r = w.velmortev({"show", w.dev(1)});
    EXPECT_NE(r.out.find(" signatures=- "), std::string::npos) << r.out;

    struct stat st;
    ASSERT_EQ(stat(w.backups.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    std::vector<std::string> saved = w.backup_files();
    ASSERT_EQ(saved.size(), 2u);  // the label block, the ext4 magic
    // A device of another size is not the one the region came from.
    loop_device smaller;
    ASSERT_EQ(smaller.attach(w.dir.file("smaller"), loop_world::device_size / 2), "");
    r = w.velmortev({"restore", "-y", saved[0], smaller.path()});
    EXPECT_EQ(r.status, shell_status(-ENODEV));
    EXPECT_EQ(r.err, "velmortev: Device \"" + smaller.path() +
                         "\" is not the one the backup was taken from (another size)\n");
    for (const std::string& file : saved) {
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
        r = w.velmortev({"restore", "-y", file});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(w.bytes(1), original);
}

// The listing probes on the descriptor that read the label, show on one of
// its own: both find every signature, the GPT's second header at the
// device's end among them, and in the same order.
TEST(FrontSignatures, ListAndShowFindTheHeaderAtTheDeviceEnd) {
    REQUIRE_WORLD(w);
    run_spec sfdisk;
    sfdisk.program = "/usr/sbin/sfdisk";
    sfdisk.args = {"-q", "--no-reread", w.dev(1)};
    sfdisk.input = "label: gpt\n,1M\n";
    run_result made = run(sfdisk);
    if (made.status != 0)
        GTEST_SKIP() << "sfdisk is needed: " << made.err;
    w.write_label(1, "data2");
    const nlohmann::json expected = nlohmann::json::array(
        {{{"type", "gpt"}, {"offset", 512}, {"length", 8}},
         {{"type", "gpt"}, {"offset", loop_world::device_size - 512}, {"length", 8}},
         {{"type", "PMBR"}, {"offset", 510}, {"length", 2}}});
    for (const args& arguments : {args{"list", "-o", "json"}, args{"show", "-o", "json", "data2"}}) {
        run_result r = w.velmortev(arguments);
        ASSERT_EQ(r.status, 0) << arguments[0] << ": " << r.err;
        nlohmann::json doc = nlohmann::json::parse(r.out);
        ASSERT_EQ(doc["devices"].size(), 1u) << r.out;
        EXPECT_EQ(doc["devices"][0]["signatures"], expected) << arguments[0];
    }
}

// Every writing verb with --dry-run prints its plan and changes no byte of
// any device, no node and no backup.
TEST(FrontDryRun, PlansChangeNothing) {
    REQUIRE_WORLD(w);
    w.write_label(0, "data1");
    w.write_label(2, "data3");
    ASSERT_EQ(mknod((w.disks + "/DATA1").c_str(), S_IFBLK | 0600, w.loops[0].rdev()), 0);
    run_spec mkfs;
    mkfs.program = "/sbin/mkfs.ext4";
    mkfs.args = {"-q", "-F", w.dev(1)};
    ASSERT_EQ(run(mkfs).status, 0);
    std::vector<size_t> before = w.all_bytes();
    struct {
        args arguments;
        std::string first_line;
    } cases[] = {
        {{"create", "-n", "--wipe-signatures", w.dev(1), "data2"},
         "Would save bytes 0-511 of " + w.dev(1) + " to " + w.backups + "/"},
        {{"delete", "-n", "data1"}, "Would save bytes 0-511 of " + w.dev(0) + " to " + w.backups + "/"},
        {{"rename", "--dry-run", "data1", "data9"},
         "Would save bytes 0-511 of " + w.dev(0) + " to " + w.backups + "/"},
        {{"create", "-n", "--replace", w.dev(2), "data4"},
         "Would save bytes 0-511 of " + w.dev(2) + " to " + w.backups + "/"},
        {{"scan", "-n"}, "Would create node " + w.disks + "/DATA1 for " + w.dev(0)},
    };
    for (auto& c : cases) {
        run_result r = w.velmortev(c.arguments);
        EXPECT_EQ(r.status, 0) << c.arguments[0] << ": " << r.err;
        EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.first_line);
        EXPECT_EQ(r.out.find("\nWould ", 0) == std::string::npos, false) << r.out;
        EXPECT_EQ(w.all_bytes(), before) << c.arguments[0];
        EXPECT_EQ(w.nodes(), std::vector<std::string>{"DATA1"});
        EXPECT_EQ(w.backup_files(), std::vector<std::string>{});
    }

    run_result r = w.velmortev({"delete", "-n", "-o", "json", "data1"});
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["dry_run"], true);
    std::vector<std::string> actions;
    for (const nlohmann::json& step : doc["steps"])
        actions.push_back(step["action"]);
    EXPECT_EQ(actions, (std::vector<std::string>{"save", "remove-node", "clear-label"}));
}

// delete with --device leaves a node that stands for another device alone
// and says so; rename moves the label and its nodes; both need --yes.
TEST(FrontDelete, NodesFirstAndOnlyTheirOwn) {
    REQUIRE_WORLD(w);
    w.write_label(0, "data1");
    w.write_label(1, "data1");
    ASSERT_EQ(mknod((w.disks + "/DATA1").c_str(), S_IFBLK | 0600, w.loops[0].rdev()), 0);

    run_result r = w.velmortev({"delete", "--device", w.dev(1), "data1"});
    EXPECT_EQ(r.status, shell_status(-EPERM));
    r = w.velmortev({"delete", "-y", "--device", w.dev(1), "data1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Left node " + w.disks + "/DATA1 alone: it stands for another device (" +
                         number_of(w.loops[0]) + ")\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Cleared the label of " + w.dev(1) + "\n"), std::string::npos);
    EXPECT_TRUE(w.node_for("DATA1", 0));
    EXPECT_EQ(w.label_of(1), "");

    r = w.velmortev({"rename", "-y", "data1", "data5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(w.label_of(0), "DATA5:" + w.dev(0) + "\n");
    EXPECT_EQ(w.nodes(), std::vector<std::string>{"DATA5"});
    EXPECT_TRUE(w.node_for("DATA5", 0));

    r = w.velmortev({"delete", "-y", "data5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(w.nodes(), std::vector<std::string>{});
    EXPECT_EQ(w.label_of(0), "");
}

// scan runs tevscan with the configured order and exclude patterns: the
// excluded device gets no node.
TEST(FrontScan, TevscanGetsTheConfiguredPatterns) {
    REQUIRE_WORLD(w);
    w.write_label(0, "data1");
    w.write_label(1, "data2");
    w.conf("50-scan.conf", "SCAN_EXCLUDE=" + name_of(w.loops[1]) + "\n");
    run_result r = w.velmortev({"scan"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Instantating disk \"DATA1\"\n");
    EXPECT_EQ(w.nodes(), std::vector<std::string>{"DATA1"});
}

// A tevtool that answers every query with text nobody expects: the pass
// reports it ("Output on ..."), the plan keeps it off standard output, which
// holds the plan alone, as lines or one JSON document.
TEST(FrontScan, PlanKeepsStandardOutputForItself) {
    REQUIRE_WORLD(w);
    w.write_label(0, "data1");
    ASSERT_EQ(mknod((w.disks + "/OLD").c_str(), S_IFBLK | 0600, w.loops[2].rdev()), 0);
    std::string tools = w.dir.file("tools");
    std::filesystem::create_directories(tools);
    write_file(tools + "/tevtool", "#!/bin/sh\necho hello\n");
    chmod((tools + "/tevtool").c_str(), 0755);
    for (const char* output : {"text", "json"}) {
        run_spec s = w.spec({"scan", "-n"});
        if (std::string(output) == "json")
            s.args.insert(s.args.end(), {"-o", "json"});
        for (auto& [name, value] : s.env)
            if (name == "PATH")
                value = tools + ":" + value;
        run_result r = run(s);
        EXPECT_EQ(r.status, 0) << output << ": " << r.err;
        EXPECT_NE(r.err.find("Output on OLD: hello\n"), std::string::npos) << output << ": " << r.err;
        EXPECT_NE(r.err.find("Output on " + w.dev(0) + ": hello\n"), std::string::npos) << r.err;
        if (std::string(output) == "text") {
            EXPECT_EQ(r.out, "Would remove node " + w.disks + "/OLD\n");
            continue;
        }
        nlohmann::json doc = nlohmann::json::parse(r.out);
        ASSERT_EQ(doc["steps"].size(), 1u) << r.out;
        EXPECT_EQ(doc["steps"][0]["action"], "remove-node");
    }
}

// A plan after a write that is only planned: the assumed label stands in
// for what the device carries, its old node goes, and a device that is not
// on this host is passed over.
TEST(FrontScan, PlanTakesAssumedLabels) {
    REQUIRE_WORLD(w);
    w.write_label(0, "data1");
    ASSERT_EQ(mknod((w.disks + "/DATA1").c_str(), S_IFBLK | 0600, w.loops[0].rdev()), 0);
    struct {
        args assumptions;
        std::string plan;
    } cases[] = {
        {{"--assume-label", w.dev(0) + "=data2", "--assume-label", w.dev(1) + "=data3",
          "--assume-label", "/dev/vlm-none=X"},
         "Would remove node " + w.disks + "/DATA1\n"
         "Would create node " + w.disks + "/DATA2 for " + w.dev(0) + "\n"
         "Would create node " + w.disks + "/DATA3 for " + w.dev(1) + "\n"},
        {{"--assume-label", w.dev(0) + "="}, "Would remove node " + w.disks + "/DATA1\n"},
        {{"--assume-label", w.dev(0) + "=Data1"},
         "Would create node " + w.disks + "/DATA1 for " + w.dev(0) + "\n"},
    };
    for (auto& c : cases) {
        args arguments = {"scan", "-n"};
        arguments.insert(arguments.end(), c.assumptions.begin(), c.assumptions.end());
        run_result r = w.velmortev(arguments);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.plan);
    }
    EXPECT_EQ(w.label_of(0), "DATA1:" + w.dev(0) + "\n");
    EXPECT_EQ(w.nodes(), std::vector<std::string>{"DATA1"});
}

// Memory that runs short, one allocation at a time: the run ends with
// -ENOMEM's status and message, never with abort; a listing made meanwhile
// is not shown, and create writes nothing once memory ran short: the device
// and the manager hold what the steps it reported did, no more. The health
// check keeps a monitoring plugin's statuses: UNKNOWN, with no verdict.
TEST(FrontOutOfMemory, EndsWithNoMemoryAndWritesNothingAfter) {
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer's allocations bypass the testbed's count";
    REQUIRE_WORLD(w);
    w.write_label(1, "data2");
    std::string blank = read_bytes(w.dev(0), 0, 512);
    auto prepare = [&] {
        write_bytes(w.dev(0), 0, blank);
        std::filesystem::remove(w.disks + "/DATA1");
        std::filesystem::remove_all(w.backups);
    };
    const std::string no_memory = "velmortev: Unable to allocate memory\n";
    for (const args& arguments :
         {args{"list", "-o", "json"}, args{"create", w.dev(0), "data1"}, args{"check"}}) {
        SCOPED_TRACE(arguments[0]);
        bool create = arguments[0] == "create";
        bool health = arguments[0] == "check";
        int status = health ? 3 : shell_status(-ENOMEM);
        prepare();
        run_result usual = w.velmortev(arguments);
        auto check = [&](int n, const run_result& r) {
            // A create that ends well differs only in its backup's time.
            if (create && r.status == 0)
                return;
            if (health) {
                // A shortage met after the verdict, or one that a library
                // got over (with a shorter message of its own), leaves the
                // verdict; any other is UNKNOWN and says why. The reserve
                // itself is taken before the verb is known.
                auto verdict = [](const std::string& out) { return out.substr(0, out.find('\n')); };
                if (r.status == usual.status && verdict(r.out) == verdict(usual.out))
                    return;
                EXPECT_EQ(r.status, n == 1 ? shell_status(-ENOMEM) : status) << n << ": " << r.err << r.out;
                EXPECT_TRUE(r.out.empty() ? r.err.find(no_memory) != std::string::npos
                                          : r.out.starts_with("VELMORTEV UNKNOWN - ") &&
                                                r.out.ends_with("allocate memory\n"))
                    << n << ": " << r.err << r.out;
                return;
            }
            EXPECT_EQ(r.status, status) << n << ": " << r.err << r.out;
            // Said by the step that met it, or at the end.
            EXPECT_TRUE(r.err.find(no_memory) != std::string::npos ||
                        r.err.find(": Cannot allocate memory\n") != std::string::npos)
                << n << ": " << r.err;
            // Nothing, or the whole document when memory ran short after
            // it was made.
            if (!create) {
                EXPECT_TRUE(r.out.empty() || r.out == usual.out) << n << ": " << r.err << r.out;
                return;
            }
            bool labelled = r.out.find("Labelled ") != std::string::npos;
            bool node = r.out.find("Created node ") != std::string::npos;
            EXPECT_EQ(w.label_of(0) == "DATA1:" + w.dev(0) + "\n", labelled) << n << ": " << r.out;
            EXPECT_EQ(w.node_for("DATA1", 0), node) << n << ": " << r.out;
        };
        // Every third: each stage is met, in a few seconds.
        std::set<outcome> seen = allocation_outcomes(w.spec(arguments), prepare, check, 3);
        EXPECT_EQ(seen.count({status, no_memory}), 1u);
    }
}

}  // namespace
