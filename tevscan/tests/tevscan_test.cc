// SPDX-License-Identifier: GPL-2.0-or-later
// tevscan run as a user would. Every run sees a fake partition table, bind
// mounted in the run's own mount namespace, that lists only names without a
// device behind them or the test's own loop devices; the manager is a
// scratch directory that the testbed layer reports as the driver's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fake_tool.h"
#include "support.h"

using namespace vlm::test;
using args = std::vector<std::string>;

namespace {

const std::string usage =
    "Usage: tevscan -l <manager> [-s <pattern> ...] [-x <pattern>]\n"
    "       tevscan -h\n"
    "       tevscan -V\n";

// The body of a fake tevtool, from the tools folder beside this test.
std::string tool_script(const std::string& name) {
    return read_file(std::string(VLM_TEVSCAN_TOOLS) + "/" + name);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string table_line(unsigned major_number, unsigned minor_number, const std::string& name) {
    return "   " + std::to_string(major_number) + "     " + std::to_string(minor_number) +
           "       4096 " + name + "\n";
}

class scan_world {
public:
    explicit scan_world(const std::string& tool_body = "exit 0") : tool(tool_body) {
        std::filesystem::create_directories(disks);
        table({});
    }

    // Partition names whose /dev paths do not exist, so that nothing is
    // opened for them.
    void table(const std::vector<std::string>& names) {
        std::string text = "major minor  #blocks  name\n\n";
        unsigned minor_number = 0;
        for (const std::string& name : names) {
            if (exists("/dev/" + name))
                throw std::runtime_error("/dev/" + name + " exists; pick another name");
            text += table_line(240, minor_number++, name);
        }
        raw_table(text);
    }
    void raw_table(const std::string& text) { write_file(table_path, text); }

    run_result tevscan(const args& arguments) const { return run(spec(arguments)); }
    run_spec spec(const args& arguments) const {
        run_spec spec;
        spec.program = sbin("tevscan");
        spec.args = arguments;
        spec.preload = true;
        spec.binds = {{table_path, "/proc/partitions"}};
        spec.env = env;
        spec.env.emplace_back("PATH", path);
        spec.env.emplace_back("VLM_TESTBED_MANAGERS", manager);
        return spec;
    }
    run_result tevscan() const { return tevscan({"-l", manager}); }

    void add_entry(const std::string& name) const { write_file(disks + "/" + name, ""); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(disks))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The calls whose first argument is op.
    std::vector<args> calls(const std::string& op) const {
        std::vector<args> picked;
        for (auto& call : tool.calls())
            if (!call.empty() && call[0] == op)
                picked.push_back(call);
        return picked;
    }
    args disk_query(const std::string& name) const { return {"-I", "-l", manager, "-n", name}; }
    args device_query(const std::string& name) const {
        return {"-I", "-l", manager, "-n", "/dev/" + name, "-a", "label"};
    }
    args create(const std::string& label, const std::string& name) const {
        return {"-C", "-l", manager, "-n", label, "-s", "/dev/" + name, "-a", "mark=no"};
    }

    scratch_dir dir;
    fake_tool tool;
    std::string manager = dir.file("manager");
    std::string disks = manager + "/disks";
    std::string table_path = dir.file("partitions");
    std::string path = tool.search_path();
    std::vector<std::pair<std::string, std::string>> env;
};

TEST(TevscanOptions, HelpVersionAndUsageErrorsStartNoTool) {
    scan_world w;
    const std::string& m = w.manager;
    run_result r = w.tevscan({"-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
    r = w.tevscan({"-l", m, "-V", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tevscan version 2.1.10\n");

    struct {
        args arguments;
        std::string err;
    } errors[] = {
        {{}, "You must specify a manager.\n" + usage},
        {{"-s", "sd"}, "You must specify a manager.\n" + usage},
        {{"-l", ""}, usage},
        {{"-l", m, "-s", ""}, usage},
        {{"-l", m, "-x", ""}, usage},
        {{"-l", m, "-q"}, "tevscan: Invalid option: '-q'\n" + usage},
        {{"-l"}, "tevscan: Option '-l' requires an argument\n" + usage},
        {{"-l", m, "-x"}, "tevscan: Option '-x' requires an argument\n" + usage},
    };
    for (auto& e : errors) {
        r = w.tevscan(e.arguments);
        EXPECT_EQ(r.status, 234) << e.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, e.err);
    }
    EXPECT_TRUE(w.tool.calls().empty());
}

TEST(TevscanManager, MustBeTheDriversFilesystemWithADisksDirectory) {
    scan_world w;
    w.table({"vtq"});
    scratch_dir ordinary;
    run_result r = w.tevscan({"-l", ordinary.path()});
    EXPECT_EQ(r.status, shell_status(-ENXIO));
    EXPECT_EQ(r.err, "Error opening manager: No such device or address\n");
    r = w.tevscan({"-l", w.dir.file("nowhere")});
    EXPECT_EQ(r.status, shell_status(-ENOENT));
    EXPECT_EQ(r.err, "Error opening manager: No such file or directory\n");
    EXPECT_TRUE(w.tool.calls().empty());

    // The last -l counts, and operands are ignored.
    std::filesystem::remove(w.disks);
    r = w.tevscan({"-l", ordinary.path(), "operand", "-l", w.manager});
    EXPECT_EQ(r.status, shell_status(-ENOENT));
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(w.tool.calls().empty());
}

TEST(TevscanClean, EachQueryAnswerDecidesWhetherTheEntryGoes) {
    scan_world w(tool_script("clean-answers.sh"));
    for (const char* name : {"GOOD", "CHATTY", "GONE", "BADARG", "BUSY", "NOREASON", "KILLED"})
        w.add_entry(name);
    std::filesystem::create_directory(w.disks + "/SUBDIR");

    run_result r = w.tevscan();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(w.entries(), (args{"BUSY", "GOOD", "KILLED", "SUBDIR"}));
    EXPECT_NE(r.out.find("Output on CHATTY: all fine\n\nCleaning disk \"CHATTY\"\n"),
              std::string::npos);
    for (const char* gone : {"GONE", "BADARG", "NOREASON"})
        EXPECT_NE(r.out.find("Cleaning disk \"" + std::string(gone) + "\"\n"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 6);
    std::string busy = "Error on BUSY (240): Unable to open disk: Device or resource busy\n\n";
    std::string killed = "tevscan: tevtool query of disk \"KILLED\" killed by signal 9\n";
    EXPECT_TRUE(r.err == busy + killed || r.err == killed + busy) << r.err;

    // Every entry is queried once; each delete follows the query of its entry.
    std::vector<args> calls = w.tool.calls();
    ASSERT_EQ(calls.size(), 12u);
    std::vector<std::string> queried;
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i][0] == "-I") {
            queried.push_back(calls[i][4]);
            EXPECT_EQ(calls[i], w.disk_query(calls[i][4]));
        } else {
            EXPECT_EQ(calls[i], (args{"-D", "-l", w.manager, "-n", queried.back()}));
        }
    }
    std::sort(queried.begin(), queried.end());
    EXPECT_EQ(queried,
              (args{"BADARG", "BUSY", "CHATTY", "GONE", "GOOD", "KILLED", "NOREASON", "SUBDIR"}));
}

void add_two_invalid_entries(scan_world& w) {
    w.table({"vtq"});
    w.add_entry("ONE");
    w.add_entry("TWO");
}

// Both entries are invalid; the tool refuses or kills the delete named by
// a marker file. Only the last delete's outcome decides whether phase 3 runs.
TEST(TevscanClean, TheLastDeleteDecidesWhetherThePassGoesOn) {
    {
        scan_world w(tool_script("deletes.sh"));
        write_file(w.tool.dir() + "/refuse-1", "");
        add_two_invalid_entries(w);
        run_result r = w.tevscan();
        std::string first = w.calls("-D").at(0)[4];
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "Unable to delete invalid disk \"" + first + "\": Permission denied\n");
        EXPECT_EQ(w.entries(), args{first});
        EXPECT_EQ(w.calls("-I").back(), w.device_query("vtq"));
    }
    for (std::string failure : {"refuse-2", "kill-2"}) {
        scan_world w(tool_script("deletes.sh"));
        write_file(w.tool.dir() + "/" + failure, "");
        add_two_invalid_entries(w);
        run_result r = w.tevscan();
        std::string last = w.calls("-D").at(1)[4];
        if (failure == "refuse-2") {
            EXPECT_EQ(r.status, shell_status(-EACCES));
            EXPECT_EQ(r.err, "Unable to delete invalid disk \"" + last + "\": Permission denied\n");
        } else {
            EXPECT_EQ(r.status, shell_status(-EINTR));
            EXPECT_EQ(r.err, "tevscan: tevtool delete of disk \"" + last +
                                 "\" killed by signal 9\n");
        }
        EXPECT_EQ(w.calls("-I").size(), 2u) << "phase 3 ran";
    }
}

// Started from a script or an agent: stdout and stderr in one log, stdout
// full or closed, SIGCHLD ignored. Every delete is refused while the file
// "refuse" exists, which makes the pass end with -EACCES.
TEST(TevscanStreams, CombinedLogLostOutputAndIgnoredChildSignal) {
    const std::string tool = tool_script("deletes.sh");
    auto lost = [](int error) {
        return std::string("tevscan: Unable to write to standard output: ") + strerror(error) + "\n";
    };
    {
        scan_world w(tool);
        add_two_invalid_entries(w);
        write_file(w.tool.dir() + "/refuse", "");
        run_spec spec = w.spec({"-l", w.manager});
        spec.error_to_output = true;
        run_result r = run(spec);
        EXPECT_EQ(r.status, shell_status(-EACCES));
        std::string log;
        for (auto& call : w.calls("-D"))
            log += "Cleaning disk \"" + call[4] + "\"\nUnable to delete invalid disk \"" + call[4] +
                   "\": Permission denied\n";
        EXPECT_EQ(r.out, log);

        spec.error_to_output = false;
        spec.output_path = "/dev/full";  // the pass's own status stays
        r = run(spec);
        EXPECT_EQ(r.status, shell_status(-EACCES));
        EXPECT_TRUE(r.err.ends_with("Permission denied\n" + lost(ENOSPC))) << r.err;
    }
    struct stream_case {
        int closed_fd;
        std::string output_path;
        int status;
        std::string err;
    };
    for (const stream_case& c : {stream_case{1, "", shell_status(-EBADF), lost(EBADF)},
                                 stream_case{-1, "/dev/full", shell_status(-ENOSPC), lost(ENOSPC)},
                                 stream_case{0, "", 0, ""}, stream_case{2, "", 0, ""}}) {
        SCOPED_TRACE("closed descriptor " + std::to_string(c.closed_fd) + c.output_path);
        scan_world w(tool);
        add_two_invalid_entries(w);
        run_spec spec = w.spec({"-l", w.manager});
        spec.closed_fd = c.closed_fd;
        spec.output_path = c.output_path;
        spec.ignored_signals = {SIGCHLD};
        run_result r = run(spec);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(w.entries(), args{});
        EXPECT_EQ(w.calls("-I").back(), w.device_query("vtq"));
    }
}

TEST(TevscanMissingTool, EveryCallEndsWithExitCode254) {
    scan_world w;
    scratch_dir empty;
    w.path = empty.path() + ":/usr/bin:/bin";
    w.table({"vtq"});
    w.add_entry("STALE");
    run_result r = w.tevscan();
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, "Cleaning disk \"STALE\"\n");
    EXPECT_EQ(r.err, "Unable to delete invalid disk \"STALE\": No such file or directory\n");

    std::filesystem::remove(w.disks + "/STALE");
    r = w.tevscan();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tevscan: Error on /dev/vtq (254): \n");
}

TEST(TevscanInstantiate, EachDeviceAnswerDecidesWhatIsCreated) {
    scan_world w(tool_script("device-answers.sh"));
    args names = {"vtmark", "vtexist", "vtfull", "vtckill", "vtnot",  "vtinval", "vtio",
                  "vtchat", "vtonequote", "vtnoquote", "vtqkill", "vtshell", "vtnul", "vtbig",
                  "vtempty", "vtslash", "vtdots", "vtdot", "vtblank", "vtlong", "vtesc",
                  "vthigh", "vtback", "vt24"};
    w.table(names);
    run_result r = w.tevscan();
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out,
              "Instantating disk \"ALPHA\"\n"
              "Instantating disk \"BETA\"\n"
              "Instantating disk \"GAMMA\"\n"
              "Instantating disk \"DELTA\"\n"
              "Output on /dev/vtchat: hello\n\n"
              "Instantating disk \"$(touch pwned); *\"\n"
              "Instantating disk \"NULL\"\n"
              "Output on /dev/vtempty: \n"
              "Instantating disk \"A\\x5cB\"\n"
              "Instantating disk \"ABCDEFGHIJKLMNOPQRSTUVWX\"\n");
    EXPECT_EQ(r.err,
              "tevscan: Unable to create disk \"GAMMA\": No space left on device\n"
              "tevscan: tevtool creation of disk \"DELTA\" killed by signal 9\n"
              "tevscan: Error on /dev/vtio (251): Unable to read: Input/output error\n\n"
              "tevscan: tevtool query of device \"/dev/vtqkill\" killed by signal 9\n"
              "tevscan: Invalid label \"../../etc/x\" on device \"/dev/vtslash\"\n"
              "tevscan: Invalid label \"..\" on device \"/dev/vtdots\"\n"
              "tevscan: Invalid label \".\" on device \"/dev/vtdot\"\n"
              "tevscan: Invalid label \"\" on device \"/dev/vtblank\"\n"
              "tevscan: Invalid label \"ABCDEFGHIJKLMNOPQRSTUVWXY\" on device \"/dev/vtlong\"\n"
              "tevscan: Invalid label \"\\x1b[2J\\x0aX\" on device \"/dev/vtesc\"\n"
              "tevscan: Invalid label \"\\xc3\\xa9\\x7f\" on device \"/dev/vthigh\"\n");
    EXPECT_FALSE(exists("pwned"));

    std::map<std::string, std::string> labels = {
        {"vtmark", "ALPHA"}, {"vtexist", "BETA"},  {"vtfull", "GAMMA"},
        {"vtckill", "DELTA"}, {"vtshell", "$(touch pwned); *"}, {"vtnul", "NULL"},
        {"vtback", "A\\B"},  {"vt24", "ABCDEFGHIJKLMNOPQRSTUVWX"}};
    std::vector<args> expected;
    for (const std::string& name : names) {
        expected.push_back(w.device_query(name));
        if (labels.count(name))
            expected.push_back(w.create(labels[name], name));
    }
    EXPECT_EQ(w.tool.calls(), expected);
}

TEST(TevscanInstantiate, ScanOrderPatternsComeFirstAndExcludedDevicesAreNeverAsked) {
    scan_world w("echo 'not marked' >&2; exit 6");
    w.table({"vtb", "vta1", "vtx1", "vth", "vta2", "vtz", "vtx"});
    run_result r = w.tevscan({"-s", "vta", "-l", w.manager, "-s", "vth", "-x", "vtx"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    std::vector<args> expected;
    for (const char* name : {"vta1", "vta2", "vth", "vtb", "vtz"})
        expected.push_back(w.device_query(name));
    EXPECT_EQ(w.tool.calls(), expected);  // an empty disks directory asks nothing

}

// The one slow test: about 9 seconds of waiting for a device that never
// comes, and 1 second for one that comes after the first wait.
TEST(TevscanInstantiate, DeviceNotThereYetIsAskedAgainAfterOneThreeAndFiveSeconds) {
    scan_world w(tool_script("not-there-yet.sh"));
    w.table({"vtlate", "vtsoon"});
    run_result r = w.tevscan();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Instantating disk \"SOON\"\n");
    EXPECT_EQ(r.err, "");
    std::vector<args> calls = w.tool.calls();
    std::vector<double> times = w.tool.start_times();
    ASSERT_EQ(calls.size(), 7u);
    ASSERT_EQ(times.size(), 7u);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(calls[i], w.device_query("vtlate"));
    EXPECT_EQ(calls[4], w.device_query("vtsoon"));
    EXPECT_EQ(calls[5], w.device_query("vtsoon"));
    EXPECT_EQ(calls[6], w.create("SOON", "vtsoon"));
    double waits[] = {1, 3, 5, 0, 1};
    for (int i = 0; i < 5; i++) {
        double gap = times[i + 1] - times[i];
        EXPECT_GE(gap, waits[i] - 0.05) << i;
        EXPECT_LT(gap, waits[i] + 0.9) << i;
    }
}

// Loop devices in the table, with the testbed's geometry switch: only the
// whole disks of the scan order are asked to reread their tables.
TEST(TevscanReread, PartitionsAndExcludedDisksAreNeverAskedToReread) {
    REQUIRE_LOOP_DEVICES();
    scan_world w("echo 'not marked' >&2; exit 6");
    loop_device loops[4];
    std::vector<const loop_device*> by_length;
    for (loop_device& l : loops) {
        ASSERT_EQ(l.attach(w.dir.file(std::to_string(by_length.size())), 1 << 20), "");
        by_length.push_back(&l);
    }
    // The excluding pattern is the longest name, which begins no other name.
    std::stable_sort(by_length.begin(), by_length.end(),
                     [](auto* x, auto* y) { return x->path().size() < y->path().size(); });
    const loop_device &part = *by_length[0], &whole = *by_length[1];
    const loop_device &unknown = *by_length[2], &skipped = *by_length[3];
    auto name = [](const loop_device& l) { return l.path().substr(5); };

    std::string text = "major minor  #blocks  name\n\n";
    for (const loop_device* l : {&part, &whole, &skipped, &unknown})
        text += table_line(major(l->rdev()), minor(l->rdev()), name(*l));
    text += table_line(240, 9, "vtnodevice");
    w.raw_table(text);
    std::string log = w.dir.file("rrpart.log");
    w.env = {{"VLM_TESTBED_GEOMETRY", part.path() + "=2048," + unknown.path() + "=fail"},
             {"VLM_TESTBED_RRPART_LOG", log}};

    run_result r = w.tevscan({"-l", w.manager, "-x", name(skipped)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    auto number = [](const loop_device& l) {
        return std::to_string(major(l.rdev())) + ":" + std::to_string(minor(l.rdev())) + "\n";
    };
    EXPECT_EQ(read_file(log), number(whole) + number(unknown));
    std::vector<args> expected;
    for (const loop_device* l : {&part, &whole, &unknown})
        expected.push_back(w.device_query(name(*l)));
    expected.push_back(w.device_query("vtnodevice"));
    EXPECT_EQ(w.tool.calls(), expected);
}

// The testbed's own tool on two labelled loop devices and a manager that
// still holds a node from an earlier life of one of them.
TEST(TevscanEndToEnd, StandInToolBringsTheManagerInLine) {
    REQUIRE_LOOP_DEVICES();
    scan_world w;
    w.path = testbed("bin") + ":/usr/bin:/bin";
    loop_device a, b, blank;
    ASSERT_EQ(a.attach(w.dir.file("a.img"), 4 << 20), "");
    ASSERT_EQ(b.attach(w.dir.file("b.img"), 4 << 20), "");
    ASSERT_EQ(blank.attach(w.dir.file("blank.img"), 4 << 20), "");
    ASSERT_EQ(run_program("velmortev-write-label", {a.path(), "data1"}).status, 0);
    ASSERT_EQ(run_program("velmortev-write-label", {b.path(), "data2"}).status, 0);
    ASSERT_EQ(mknod((w.disks + "/OLD").c_str(), S_IFBLK | 0600, a.rdev()), 0);
    std::string text = "major minor  #blocks  name\n\n";
    for (const loop_device* l : {&a, &blank, &b})
        text += table_line(major(l->rdev()), minor(l->rdev()), l->path().substr(5));
    w.raw_table(text);

    run_result r = w.tevscan();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Cleaning disk \"OLD\"\n"
              "Instantating disk \"DATA1\"\n"
              "Instantating disk \"DATA2\"\n");
    EXPECT_EQ(w.entries(), (args{"DATA1", "DATA2"}));
    for (auto [label, device] : {std::pair<const char*, const loop_device*>{"DATA1", &a}, {"DATA2", &b}}) {
        struct stat st;
        ASSERT_EQ(stat((w.disks + "/" + label).c_str(), &st), 0);
        EXPECT_TRUE(S_ISBLK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_rdev, device->rdev());
    }

    // A second pass finds everything in line: the nodes stay, and their
    // creation is refused quietly.
    r = w.tevscan();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Instantating disk \"DATA1\"\nInstantating disk \"DATA2\"\n");
    EXPECT_EQ(w.entries(), (args{"DATA1", "DATA2"}));
}

}  // namespace
