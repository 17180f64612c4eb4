// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-discover run against the testbed's access library: where the
// library is loaded from, the binding of its entry points, the output and
// status of each path through the run, and a real discovery of labelled
// loop devices through a stand-in manager directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

using namespace vlm::test;

namespace {

const std::string fixed_dir = "/opt/velmor/extapi/64/tev/vlmr/1";
const std::string from_search_path = "Using TEVLib from LD_LIBRARY_PATH\n";
const std::string name_line = "[TEVLib testbed 1.0]\n";

std::string repeated(const std::string& text, size_t size) {
    std::string out;
    while (out.size() < size)
        out += text;
    out.resize(size);
    return out;
}

// One run of velmortev-discover with an empty /opt of its own (so nothing on
// this machine is loaded), the stand-in library on LD_LIBRARY_PATH, a
// scratch manager and a log of the library calls.
class discover_run {
public:
    discover_run() {
        std::filesystem::create_directories(dir.file("opt"));
        std::filesystem::create_directories(dir.file("manager/disks"));
        spec.program = sbin("velmortev-discover");
        if (geteuid() == 0)  // a private mount namespace needs root
            spec.binds = {{dir.file("opt"), "/opt"}};
        set("LD_LIBRARY_PATH", testbed("."));
        set("VLM_TESTBED_MANAGER", dir.file("manager"));
        set("VLM_TESTBED_LIBTEV_LOG", dir.file("calls"));
    }
    void set(const std::string& name, const std::string& value) {
        for (auto& [k, v] : spec.env)
            if (k == name) {
                v = value;
                return;
            }
        spec.env.emplace_back(name, value);
    }
    run_result operator()(const std::vector<std::string>& args = {}) {
        std::filesystem::remove(dir.file("calls"));
        spec.args = args;
        return run(spec);
    }
    std::string calls() const {
        return std::filesystem::exists(dir.file("calls")) ? read_file(dir.file("calls")) : "";
    }

    scratch_dir dir;
    run_spec spec;
};

void expect_run(const run_result& r, int status, const std::string& out, const std::string& err) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

TEST(DiscoverLoad, FixedPathComesBeforeTheSearchPath) {
    if (geteuid() != 0)
        GTEST_SKIP() << "skipped: needs root to bind a directory over /opt";
    discover_run discover;
    std::string installed = discover.dir.file("opt") + fixed_dir.substr(4);
    std::filesystem::create_directories(installed);
    std::filesystem::copy_file(testbed("libtev.so"), installed + "/libtev.so");
    // A search-path library that would fail the binding, to show it is unused.
    discover.set("LD_LIBRARY_PATH", testbed("libtev-variants/no-tev_version"));
    expect_run(discover(), 0, "Using TEVLib from " + fixed_dir + "/libtev.so\n" + name_line, "");

    // Something at the fixed path that is no library: the search path is next.
    write_file(installed + "/libtev.so", "not a library\n");
    discover.set("LD_LIBRARY_PATH", testbed("."));
    expect_run(discover(), 0, from_search_path + name_line, "");

    discover.set("LD_LIBRARY_PATH", discover.dir.file("manager"));
    expect_run(discover(), 1, "", "Unable to open TEVLib\n");
}

TEST(DiscoverLoad, ReportsTheFirstMissingEntryPointAndCallsNothing) {
    discover_run discover;
    for (const char* name : {"tev_version", "tev_init", "tev_fini", "tev_discover", "tev_fetch",
                             "tev_open", "tev_close", "tev_error", "tev_ioerror", "tev_io",
                             "tev_cancel", "tev_integrity_string"}) {
        SCOPED_TRACE(name);
        discover.set("LD_LIBRARY_PATH", testbed(std::string("libtev-variants/no-") + name));
        expect_run(discover(), 1, from_search_path, std::string("Unable to find ") + name + "\n");
        EXPECT_EQ(discover.calls(), "");
    }
    // Lacks tev_fetch, tev_io and tev_integrity_string.
    discover.set("LD_LIBRARY_PATH", testbed("libtev-variants/no-several"));
    expect_run(discover(), 1, from_search_path, "Unable to find tev_fetch\n");
}

TEST(DiscoverRun, EmptyListAndTheDiscoveryString) {
    discover_run discover;
    const std::string opening = "tev_version 1 64\ntev_init 0x5445560000010000\n";
    expect_run(discover(), 0, from_search_path + name_line, "");
    EXPECT_EQ(discover.calls(), opening + "tev_discover VLMR:*\ntev_fetch\ntev_fini\n");

    discover({""});
    EXPECT_EQ(discover.calls(), opening + "tev_discover VLMR:*\ntev_fetch\ntev_fini\n");

    // No option parsing: "-h" is the discovery string, further words are
    // ignored.
    run_result r = discover({"-h", "VLMR:*"});
    EXPECT_EQ(r.err, "tev_discover() failed: Discovery string \"-h\" does not start with VLMR:\n");
    EXPECT_EQ(r.status, 0);

    discover.set("VLM_TESTBED_LIBTEV_RECORDS", "ALPHA:512:8:4096:0,BETA:512:8:4096:0");
    r = discover({"VLMR:B*", "VLMR:A*"});
    EXPECT_EQ(r.out, from_search_path + name_line +
                         "Discovered disk: BETA [8 blocks (4096 bytes), maxio 4096, "
                         "integrity none]\n");
}

TEST(DiscoverRun, PrintsRecordFieldsWithSixtyFourBitArithmetic) {
    discover_run discover;
    discover.set("VLM_TESTBED_LIBTEV_RECORDS",
                 "GIG:512:2097152:131072:0,"
                 "WRAP:4096:0x0010000000000003:4294967295:1,"
                 "MAX:1:18446744073709551615:1:2,"
                 "ODD:4096:1:0:255");
    expect_run(discover(), 0,
               from_search_path + name_line +
                   "Discovered disk: GIG [2097152 blocks (1073741824 bytes), maxio 131072, "
                   "integrity none]\n"
                   "Discovered disk: WRAP [4503599627370499 blocks (12288 bytes), "
                   "maxio 4294967295, integrity checksum]\n"
                   "Discovered disk: MAX [18446744073709551615 blocks (18446744073709551615 "
                   "bytes), maxio 1, integrity checksum+reftag]\n"
                   "Discovered disk: ODD [1 blocks (4096 bytes), maxio 0, integrity unknown]\n",
               "");
    EXPECT_NE(discover.calls().find("tev_integrity_string 255\n"), std::string::npos);
}

TEST(DiscoverRun, FailingCallsGiveTheirMessagesAndStatus) {
    discover_run discover;
    const std::string opening = "tev_version 1 64\ntev_init 0x5445560000010000\n";
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_version:5");
    expect_run(discover(), 5, from_search_path, "tev_version() failed with code 5\n");
    EXPECT_EQ(discover.calls(), "tev_version 1 64\n");
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_version:-3");
    EXPECT_EQ(discover().status, 253);
    // A code the shell would see as 0 must still read as a failure.
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_version:512");
    expect_run(discover(), 1, from_search_path, "tev_version() failed with code 512\n");

    // No context was opened, so none is closed.
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_init:7");
    expect_run(discover(), 1, from_search_path + name_line,
               "tev_init() failed: injected failure 7 of tev_init\n");
    EXPECT_EQ(discover.calls(), opening + "tev_error 7 1024 (not a context)\n");

    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_discover:9");
    expect_run(discover(), 0, from_search_path + name_line,
               "tev_discover() failed: injected failure 9 of tev_discover\n");
    EXPECT_EQ(discover.calls(), opening + "tev_discover VLMR:*\ntev_error 9 1024\ntev_fini\n");

    // Disks printed before a failed fetch stay printed.
    discover.set("VLM_TESTBED_LIBTEV_RECORDS", "FIRST:512:4:512:0,SECOND:512:4:512:0");
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_fetch:11:1");
    expect_run(discover(), 0,
               from_search_path + name_line +
                   "Discovered disk: FIRST [4 blocks (2048 bytes), maxio 512, integrity none]\n",
               "tev_fetch() failed: injected failure 11 of tev_fetch\n");
    EXPECT_EQ(discover.calls(), opening +
                                    "tev_discover VLMR:*\ntev_fetch\ntev_integrity_string 0\n"
                                    "tev_fetch\ntev_error 11 1024\ntev_fini\n");

    // A failure of the library's own: no disks directory under the manager.
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "");
    discover.set("VLM_TESTBED_LIBTEV_RECORDS", "");
    std::filesystem::remove(discover.dir.file("manager/disks"));
    expect_run(discover(), 0, from_search_path + name_line,
               "tev_discover() failed: Unable to read " + discover.dir.file("manager/disks") +
                   ": No such file or directory\n");
}

// In one log the "Using" line stands before the errors that follow it; a
// listing lost to a full or closed standard output is a failure unless the
// run failed already.
TEST(DiscoverRun, CombinedLogAndLostOutput) {
    discover_run discover;
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_version:5");
    discover.spec.error_to_output = true;
    expect_run(discover(), 5, from_search_path + "tev_version() failed with code 5\n", "");
    discover.spec.error_to_output = false;

    const std::string lost = "velmortev-discover: Unable to write to standard output: ";
    struct stream_case {
        std::string fail;
        int closed_fd;
        std::string output_path;
        int status;
        std::string err;
    };
    for (const stream_case& c :
         {stream_case{"tev_version:5", -1, "/dev/full", 5,
                      "tev_version() failed with code 5\n" + lost + strerror(ENOSPC) + "\n"},
          stream_case{"tev_version:5", 2, "", 5, ""}}) {
        SCOPED_TRACE(c.fail + " closed descriptor " + std::to_string(c.closed_fd) + c.output_path);
        discover.set("VLM_TESTBED_LIBTEV_FAIL", c.fail);
        discover.set("VLM_TESTBED_LIBTEV_RECORDS", "FIRST:512:4:512:0,SECOND:512:4:512:0");
        discover.spec.closed_fd = c.closed_fd;
        discover.spec.output_path = c.output_path;
        run_result r = discover();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(DiscoverRun, UnterminatedTextsAreCutAtTheirFields) {
    discover_run discover;
    discover.set("VLM_TESTBED_LIBTEV_UNTERMINATED", "name,error,disk_name");
    // Block size 513 puts non-zero bytes right after the name field, so a
    // name read past its field would show them.
    discover.set("VLM_TESTBED_LIBTEV_RECORDS", "LONGNAME:513:2:9:0");
    discover.set("VLM_TESTBED_LIBTEV_FAIL", "tev_fetch:4:1");
    expect_run(discover(), 0,
               from_search_path + "[" + repeated("TEVLib testbed 1.0", 64) + "]\n" +
                   "Discovered disk: " + repeated("LONGNAME", 288) +
                   " [2 blocks (1026 bytes), maxio 9, integrity none]\n",
               "tev_fetch() failed: " + repeated("injected failure 4 of tev_fetch", 1024) + "\n");
}

std::string maxio_of(const loop_device& loop) {
    std::string path = "/sys/dev/block/" + std::to_string(major(loop.rdev())) + ":" +
                       std::to_string(minor(loop.rdev())) + "/queue/max_sectors_kb";
    return std::to_string(std::stoul(read_file(path)) * 1024);
}

TEST(DiscoverDevices, FindsLabelledLoopDevicesThroughTheManager) {
    REQUIRE_LOOP_DEVICES();
    discover_run discover;
    loop_device data, logs, spare;
    ASSERT_EQ(data.attach(discover.dir.file("data.img"), 8 << 20), "");
    ASSERT_EQ(logs.attach(discover.dir.file("logs.img"), 4 << 20, 4096), "");
    ASSERT_EQ(spare.attach(discover.dir.file("spare.img"), 4 << 20), "");
    ASSERT_EQ(run_program("velmortev-write-label", {data.path(), "data1"}).status, 0);
    ASSERT_EQ(run_program("velmortev-write-label", {logs.path(), "LOGS"}).status, 0);

    auto node = [&](const std::string& name, const loop_device& loop) {
        std::string path = discover.dir.file("manager/disks/" + name);
        ASSERT_EQ(mknod(path.c_str(), S_IFBLK | 0600, loop.rdev()), 0) << name;
    };
    node("DATA1", data);
    node("LOGS", logs);
    node("SPARE", spare);  // no label on the device
    node("OLD", data);     // left behind: the device's label is DATA1
    write_file(discover.dir.file("manager/disks/NOTES"), "not a device\n");

    const std::string data_line = "Discovered disk: DATA1 [16384 blocks (8388608 bytes), maxio " +
                                  maxio_of(data) + ", integrity none]\n";
    const std::string logs_line = "Discovered disk: LOGS [1024 blocks (4194304 bytes), maxio " +
                                  maxio_of(logs) + ", integrity none]\n";
    expect_run(discover(), 0, from_search_path + name_line + data_line + logs_line, "");
    expect_run(discover({"VLMR:L*"}), 0, from_search_path + name_line + logs_line, "");
    expect_run(discover({"VLMR:DATA[0-9]"}), 0, from_search_path + name_line + data_line, "");
    expect_run(discover({"VLMR:SPARE"}), 0, from_search_path + name_line, "");
}

}  // namespace
