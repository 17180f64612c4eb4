// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev-scan-partitions run as a user would, each run in a private mount
// namespace that shows it a fake /proc/partitions (and, where a test needs
// IDE media files, a whole fake /proc).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dir_fixture.h"
#include "support.h"

using namespace vlm::test;

namespace {

const std::string usage =
    "Usage: velmortev-scan-partitions [-o <pattern> ...] [-x <pattern>]\n"
    "       velmortev-scan-partitions -h\n"
    "       velmortev-scan-partitions -V\n";
const std::string prefix = "velmortev-scan-partitions: ";

const std::string kernel_table =
    "major minor  #blocks  name\n"
    "\n"
    "   8        0   10485760 sda\n"
    "   8        1    1048576 sda1\n"
    "   0        7       1024 ghost\n"
    "   3        0    2097152 hda\n"
    "  22        0    1048575 hdc\n"
    "   8       16   10485760 sdb\n"
    "   8       17   10485759 sdb1\n"
    " 253        0    1048576 dm-0\n";

class scanner {
public:
    // A run that sees `table` as /proc/partitions.
    run_result operator()(const std::vector<std::string>& args, const std::string& table = kernel_table) {
        write_file(tmp.file("partitions"), table);
        run_spec spec;
        spec.program = sbin("velmortev-scan-partitions");
        spec.args = args;
        spec.binds = {{tmp.file("partitions"), "/proc/partitions"}};
        spec.closed_fd = closed_fd;
        spec.output_path = output_path;
        return run(spec);
    }

    // A run that sees a fake /proc holding `table` and the IDE media files.
    run_result with_ide(const std::vector<std::pair<std::string, std::string>>& media,
                        const std::string& table) {
        std::string proc = tmp.file("proc");
        mkdir(proc.c_str(), 0755);
        mkdir((proc + "/ide").c_str(), 0755);
        for (auto& [name, content] : media) {
            mkdir((proc + "/ide/" + name).c_str(), 0755);
            write_file(proc + "/ide/" + name + "/media", content);
        }
        write_file(proc + "/partitions", table);
        run_spec spec;
        spec.program = sbin("velmortev-scan-partitions");
        spec.binds = {{proc, "/proc"}};
        return run(spec);
    }

    scratch_dir tmp;
    int closed_fd = -1;       // a standard descriptor the run starts without
    std::string output_path;  // where standard output goes instead of the test
};

void expect_listing(const run_result& r, const std::string& out) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
}

void expect_usage_error(const run_result& r, const std::string& message) {
    EXPECT_EQ(r.status, 234);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, prefix + message + usage);
}

TEST(ScanProgram, ListsEveryPartitionInTableOrder) {
    scanner scan;
    const std::string all = "/dev/sda\n/dev/sda1\n/dev/hda\n/dev/hdc\n/dev/sdb\n/dev/sdb1\n/dev/dm-0\n";
    expect_listing(scan({}), all);
    // Words that are not options, and -l with its argument, change nothing.
    expect_listing(scan({"extra", "-l", "/mnt/x", "words"}), all);
}

TEST(ScanProgram, OrdersAndExcludes) {
    scanner scan;
    expect_listing(scan({"-o", "hd", "-o", "sdb", "-x", "sda1", "-o", "sd"}),
                   "/dev/hda\n/dev/hdc\n/dev/sdb\n/dev/sdb1\n/dev/sda\n/dev/dm-0\n");
    expect_listing(scan({"-x", "s", "-x", "hd", "-x", "dm"}), "");
}

TEST(ScanProgram, ScanDirectoriesGivePathsInOptionOrder) {
    scanner scan;
    std::string mapper = dir_with(scan.tmp, "mapper", {"dm-0", "sdb1", "unrelated"}) + "/";
    std::string by_id = dir_with(scan.tmp, "by-id", {"sdb1"}) + "/";
    // The default "/dev/" comes after the given directories.
    expect_listing(scan({"-x", "s", "-D", mapper, "-x", "h"}), mapper + "dm-0\n/dev/dm-0\n");
    // "/dev/" given keeps its place and is not added again.
    expect_listing(scan({"-o", "sdb1", "-D", by_id, "-D", "/dev/", "-D", mapper, "-o", "dm"}),
                   by_id + "sdb1\n/dev/sdb1\n" + mapper + "sdb1\n/dev/dm-0\n" + mapper +
                       "dm-0\n/dev/sda\n/dev/sda1\n/dev/hda\n/dev/hdc\n/dev/sdb\n");
    // A missing directory gives nothing and says nothing.
    expect_listing(scan({"-D", scan.tmp.file("absent/"), "-x", "s", "-x", "h"}), "/dev/dm-0\n");
}

TEST(ScanProgram, DropsIdeCdromAndTapeDrives) {
    scanner scan;
    std::string table = "3 0 1 hda\n22 0 1 hdc\n22 64 1 hdd\n33 0 1 hde\n33 64 1 hdf\n34 0 1 hdg\n8 0 1 sda\n";
    run_result r = scan.with_ide(
        {{"hda", "disk\n"}, {"hdc", "cdrom\n"}, {"hdd", "cdrom2\n"}, {"hde", "tape\n"}, {"hdf", "tapes\n"}, {"hdg", ""}},
        table);
    expect_listing(r, "/dev/hda\n/dev/hdg\n/dev/sda\n");
}

TEST(ScanProgram, MissingTableEndsWithItsError) {
    scanner scan;
    std::string empty_proc = scan.tmp.file("empty");
    mkdir(empty_proc.c_str(), 0755);
    run_spec spec;
    spec.program = sbin("velmortev-scan-partitions");
    spec.binds = {{empty_proc, "/proc"}};
    run_result r = run(spec);
    EXPECT_EQ(r.status, shell_status(-ENOENT));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// Garbage, binary bytes and one enormous line give no crash, no hang and
// exactly the well-formed devices.
TEST(ScanProgram, SurvivesHostileTables) {
    scanner scan;
    std::mt19937 random(3);
    std::string table = "8 0 1 first\n";
    for (int i = 0; i < 100000; i++)
        table += char(random() % 256 == 0 ? '\n' : random() % 256);
    table += "\n" + std::string(3'000'000, '7') + "\n8 1 1 last\n";
    run_result r = scan({}, table);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.signalled);
    EXPECT_EQ(r.out.substr(0, 12), "/dev/first\n/");
    EXPECT_EQ(r.out.substr(r.out.size() - 10), "/dev/last\n");
}

// The listing is written in blocks of 64 KiB. Each listing here has a first
// line one character longer than the last, so that the first block ends at
// every offset of a line; every line must come once, in order.
TEST(ScanProgram, ListingLongerThanItsWriteBlock) {
    for (size_t shift = 0; shift <= 13; shift++) {
        std::string first = "p" + std::string(shift, 'x');
        std::string table = "8 0 1 " + first + "\n", listing = "/dev/" + first + "\n";
        for (int i = 1; listing.size() < 64 * 1024 + 64; i++) {
            std::string name = "d" + std::to_string(100000 + i);  // 13 characters a line
            table += "8 1 1 " + name + "\n";
            listing += "/dev/" + name + "\n";
        }
        scanner scan;
        run_result r = scan({}, table);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out == listing) << "first line longer by " << shift;
        EXPECT_EQ(r.err, "");
    }
}

// A listing of many buffers lost to a full device or a closed standard
// output is a failure; closed standard input or error change nothing.
TEST(ScanProgram, LostListingIsAFailure) {
    std::string table, listing;
    for (int i = 0; i < 2000; i++) {
        table += "8 " + std::to_string(i) + " 1 p" + std::to_string(i) + "\n";
        listing += "/dev/p" + std::to_string(i) + "\n";
    }
    struct stream_case {
        int closed_fd;
        std::string output_path;
        int status;
        std::string out, err;
    };
    const std::string lost = prefix + "Unable to write to standard output: ";
    for (const stream_case& c :
         {stream_case{-1, "/dev/full", shell_status(-ENOSPC), "", lost + strerror(ENOSPC) + "\n"},
          stream_case{1, "", shell_status(-EBADF), "", lost + strerror(EBADF) + "\n"},
          stream_case{0, "", 0, listing, ""}, stream_case{2, "", 0, listing, ""}}) {
        SCOPED_TRACE("closed descriptor " + std::to_string(c.closed_fd) + c.output_path);
        scanner scan;
        scan.closed_fd = c.closed_fd;
        scan.output_path = c.output_path;
        run_result r = scan({}, table);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.out == c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// Help, version and a refused letter are the frame's, checked in
// frame/tests; these are the scanner's own usage errors.
TEST(ScanProgram, UsageErrors) {
    scanner scan;
    expect_usage_error(scan({"-o", ""}), "Empty order pattern\n");
    expect_usage_error(scan({"-x", ""}), "Empty exclude pattern\n");
    expect_usage_error(scan({"-D", ""}), "Empty Scan-Directory list\n");
    expect_usage_error(scan({"--helpme"}), "Invalid option: '--helpme'\n");
    expect_usage_error(scan({"-x", "sd", "-o"}), "Option '-o' requires an argument\n");
    expect_usage_error(scan({"-D"}), "Option '-D' requires an argument\n");
    expect_usage_error(scan({"-l"}), "Option '-l' requires an argument\n");
}

}  // namespace
