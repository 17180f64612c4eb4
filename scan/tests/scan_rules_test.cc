// SPDX-License-Identifier: GPL-2.0-or-later
// The scan library on partition tables and media files written as fixtures:
// which lines give devices, which paths each device gets, and in which
// order the buckets list them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dir_fixture.h"
#include "scan/scan.h"
#include "support.h"

using namespace vlm;
using namespace vlm::test;

namespace {

using lines = std::vector<std::string>;

std::string placement_messages;

void capture_message(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    placement_messages += text;
}

// One scan over a fixture table, with the rings a program would build.
class scan_fixture {
public:
    scan_fixture() {
        ring_init(&order);
        ring_init(&exclude);
        scan_dir_ring_init(&dirs);
        placement_messages.clear();
    }
    ~scan_fixture() {
        free_patterns(&order);
        free_patterns(&exclude);
        free_scan_dirs(&dirs);
    }

    // Writes the table, adds the default pattern and "/dev/" (unless given)
    // and scans; returns the listing, or the failure as its only line.
    lines scan(const std::string& table, bool with_default = true) {
        write_file(tmp.file("partitions"), table);
        if (with_default)
            add_pattern(&order, "");
        if (!dirs.dev_dir_given)
            add_scan_dir(&dirs, dev_scan_dir);
        scan_setup setup{&order, &exclude, &dirs, capture_message,
                         {tables_path.c_str(), ide_path.c_str()}};
        int rc = scan_partitions(setup);
        if (rc < 0)
            return {"failed " + std::to_string(rc)};
        return listing();
    }

    lines listing() const {
        lines out;
        for (const scan_pattern* p : ring_records<const scan_pattern>(&order))
            for (const scan_device* d : ring_records<const scan_device>(&p->bucket))
                out.push_back(d->path);
        return out;
    }

    void media(const std::string& name, const std::string& content) {
        mkdir(ide_path.c_str(), 0755);
        mkdir((ide_path + "/" + name).c_str(), 0755);
        write_file(ide_path + "/" + name + "/media", content);
    }


    scratch_dir tmp;
    std::string tables_path = tmp.file("partitions");
    std::string ide_path = tmp.file("ide");
    ring_node order, exclude;
    scan_dir_ring dirs;
};

const std::string heading = "major minor  #blocks  name\n\n";

std::string table(const lines& names) {
    std::string t = heading;
    int minor = 0;
    for (const std::string& n : names)
        t += "   8     " + std::to_string(minor++) + "    1024 " + n + "\n";
    return t;
}

// The hand-written line reader must agree with sscanf on every input,
// including signs, overflowing numbers, odd white space and binary bytes.
TEST(PartitionLine, AgreesWithSscanf) {
    lines samples = {
        "major minor  #blocks  name",
        "",
        "   8        1   1024 sda1\n",
        "8 1 1024\n",
        "8 1 x sda\n",
        "+8 -1 -5 sda\n",
        "- 8 1 1 sda\n",
        "99999999999999999999 1 1 big\n",
        "4294967296 1 1 wraps\n",
        "-9223372036854775809 1 1 low\n",
        "2147483648 0 0 over\n",
        "\v\f\r8\r1\v1\f sd\ra\vb\n",
        "8 1 1 \t\n",
        "8 1 1 a/b\tc\n",
        "8 1 1 " + std::string(150, 'n') + "\n",
        "0x10 1 1 hex\n",
        "8 1 1 n\xff\x80\n",
        std::string("8 1 1 a\0b\n", 10),
    };
    std::mt19937 random(7);
    const char alphabet[] = "0123456789+- \t\n\v\r\fsdaX\x80/";
    for (int i = 0; i < 20000; i++) {
        std::string s;
        int length = int(random() % 24);
        for (int j = 0; j < length; j++)
            s += alphabet[random() % (sizeof alphabet - 1)];
        samples.push_back(s);
    }
    for (const std::string& line : samples) {
        int major = 0, minor = 0, want_major = 0, want_minor = 0;
        char name[100] = "", want_name[100] = "";
        bool got = parse_partition_line(line.c_str(), &major, &minor, name);
        bool want = std::sscanf(line.c_str(), "%d %d %*d %99[^ \t\n]", &want_major, &want_minor,
                                want_name) == 3;
        ASSERT_EQ(got, want) << "line: " << line;
        if (want) {
            EXPECT_EQ(major, want_major) << line;
            EXPECT_EQ(minor, want_minor) << line;
            EXPECT_STREQ(name, want_name) << line;
        }
    }
}

TEST(ReadPartitions, SkipsLinesThatNameNoDevice) {
    scan_fixture f;
    std::string long_name(120, 'q');
    std::string t = heading + "   0     5    1024 zero\n" + "   8 0 1024 sda\n" + "junk line\n" +
                    "   8 1 1024\n" + "\n" + "   7 0 10 " + long_name + "\n" +
                    "   8 abc 1 sdz\n" + "  -3 0 1 negative\n";
    EXPECT_EQ(f.scan(t), (lines{"/dev/sda", "/dev/" + long_name.substr(0, 99), "/dev/negative"}));
    EXPECT_EQ(placement_messages, "");
}

// A line longer than 4096 characters is read in pieces, and every piece
// counts as a line of its own.
TEST(ReadPartitions, LongLinesAreReadInPieces) {
    scan_fixture f;
    std::string first = "8 0 1 " + std::string(4090, 'a');  // exactly 4096 characters
    std::string t = first + "9 1 1 second\n" + "8 2 1 " + std::string(8000, 'b') + "\n8 3 1 sdc\n";
    EXPECT_EQ(f.scan(t), (lines{"/dev/" + std::string(99, 'a'), "/dev/second",
                                "/dev/" + std::string(99, 'b'), "/dev/sdc"}));
}

// The table is read in blocks of 64 KiB. Each table here is shifted by one
// byte more than the last, so that the first block ends at every offset of
// a line, and at the cut of a line longer than 4096 characters and around it.
TEST(ReadPartitions, LinesAcrossReadBlocksAreReadWhole) {
    const size_t block = 64 * 1024;
    for (size_t shift = 0; shift <= 16; shift++) {
        scan_fixture f;
        std::string t = std::string(shift, 'x') + "\n";
        lines want;
        for (int i = 0; t.size() < block + 64; i++) {
            char name[16];
            std::snprintf(name, sizeof name, "disk%05d", i);  // 16 characters a line
            t += std::string("8 1 1 ") + name + "\n";
            want.push_back(std::string("/dev/") + name);
        }
        ASSERT_EQ(f.scan(t), want) << "shifted by " << shift;
    }
    const std::string long_line = "8 2 1 " + std::string(4090, 'a') + "9 3 1 tail\n";
    for (size_t cut = block - 2; cut <= block + 2; cut++) {
        scan_fixture f;
        std::string t = std::string(cut - 4096 - 1, 'x') + "\n" + long_line + "8 4 1 after\n";
        EXPECT_EQ(f.scan(t), (lines{"/dev/" + std::string(99, 'a'), "/dev/tail", "/dev/after"}))
            << "cut at " << cut;
    }
}

TEST(MediaTest, DropsCdromAndTapeDrivesByPrefix) {
    scan_fixture f;
    f.media("hdc", "cdrom\n");
    f.media("hdd", "cdrom2\n");
    f.media("hde", "tape\n");
    f.media("hdf", "tapes");
    f.media("hdg", "disk\n");
    f.media("hdh", "");
    f.media("hdi", "cdro\n");
    f.media("hdj", " cdrom\n");
    EXPECT_EQ(f.scan(table({"hda", "hdc", "hdd", "hde", "hdf", "hdg", "hdh", "hdi", "hdj"})),
              (lines{"/dev/hda", "/dev/hdg", "/dev/hdh", "/dev/hdi", "/dev/hdj"}));
    EXPECT_TRUE(is_cd_or_tape(f.ide_path.c_str(), "hdc"));
    EXPECT_FALSE(is_cd_or_tape(f.ide_path.c_str(), "sda"));
}

TEST(MediaTest, NoIdeDirectoryKeepsEverything) {
    scan_fixture f;
    f.ide_path = f.tmp.file("partitions") + "/ide";  // below a file: ENOTDIR
    EXPECT_EQ(f.scan(table({"hdc", "sda"})), (lines{"/dev/hdc", "/dev/sda"}));
}

TEST(Patterns, MatchIsPlainCaseSensitivePrefix) {
    ring_node ring;
    ring_init(&ring);
    scan_pattern* sd = add_pattern(&ring, "sd");
    scan_pattern* sda1 = add_pattern(&ring, "sda1");
    scan_pattern* star = add_pattern(&ring, "s*");
    scan_pattern* empty = add_pattern(&ring, "");
    std::string huge(5000, 'z');
    scan_pattern* longest = add_pattern(&ring, huge.c_str());
    EXPECT_EQ(add_pattern(&ring, nullptr), nullptr);
    EXPECT_EQ(match_pattern(sd, "sd"), 1);
    EXPECT_EQ(match_pattern(sd, "sda1"), 1);
    EXPECT_EQ(match_pattern(sd, "SDA"), 0);
    EXPECT_EQ(match_pattern(sda1, "sda"), 0);
    EXPECT_EQ(match_pattern(sda1, "sda10"), 1);
    EXPECT_EQ(match_pattern(star, "sda"), 0);
    EXPECT_EQ(match_pattern(star, "s*x"), 1);
    EXPECT_EQ(match_pattern(empty, ""), 1);
    EXPECT_EQ(longest->length, pattern_length_limit);
    EXPECT_EQ(match_pattern(longest, std::string(4096, 'z').c_str()), 1);
    EXPECT_EQ(match_pattern(longest, std::string(4095, 'z').c_str()), 0);
    EXPECT_EQ(match_pattern(nullptr, "sda"), -EINVAL);
    EXPECT_EQ(match_pattern(sd, nullptr), -EINVAL);
    free_patterns(&ring);
    EXPECT_TRUE(ring_empty(&ring));
}

TEST(Placement, GroupsByFirstOrderPatternAndKeepsTableOrder) {
    scan_fixture f;
    add_pattern(&f.order, "sda");
    add_pattern(&f.order, "hd");
    add_pattern(&f.order, "sd");
    add_pattern(&f.order, "hd");  // never receives a device
    EXPECT_EQ(f.scan(table({"sdb", "hda", "loop0", "sda10", "sd", "sda", "hdb1"})),
              (lines{"/dev/sda10", "/dev/sda", "/dev/hda", "/dev/hdb1", "/dev/sdb", "/dev/sd",
                     "/dev/loop0"}));
    auto fourth = static_cast<scan_pattern*>(f.order.next->next->next->next);
    EXPECT_TRUE(ring_empty(&fourth->bucket));
}

TEST(Placement, ExclusionWinsAndKeepsItsDevicesOutOfTheListing) {
    scan_fixture f;
    add_pattern(&f.order, "sda");
    scan_pattern* x = add_pattern(&f.exclude, "sda1");
    add_pattern(&f.exclude, "SD");
    EXPECT_EQ(f.scan(table({"sda", "sda1", "sda10", "sda2", "sdb"})),
              (lines{"/dev/sda", "/dev/sda2", "/dev/sdb"}));
    lines excluded;
    for (const scan_device* d : ring_records<const scan_device>(&x->bucket))
        excluded.push_back(d->path);
    EXPECT_EQ(excluded, (lines{"/dev/sda1", "/dev/sda10"}));
    empty_bucket(x);
    EXPECT_TRUE(ring_empty(&x->bucket));
}

TEST(Placement, WithoutDefaultUnclaimedDevicesAreReported) {
    scan_fixture f;
    add_pattern(&f.order, "sd");
    EXPECT_EQ(f.scan(table({"sda", "hda"}), false), (lines{"/dev/sda"}));
    EXPECT_EQ(placement_messages, "Unable to order device \"hda\"!\n");
}

TEST(ScanDirs, PathsPerPartitionFollowDirectoryOrder) {
    scan_fixture f;
    std::string mapper = dir_with(f.tmp, "mapper", {"sdb1", "dm-0", ".hidden"}) + "/";
    std::string other = dir_with(f.tmp, "other", {"sdb1", "hda"}) + "/";
    add_scan_dir(&f.dirs, mapper.c_str());
    add_scan_dir(&f.dirs, dev_scan_dir);
    add_scan_dir(&f.dirs, other.c_str());
    std::string absent = f.tmp.file("absent/");
    add_scan_dir(&f.dirs, absent.c_str());
    EXPECT_TRUE(f.dirs.dev_dir_given);
    EXPECT_EQ(f.scan(table({"sda", "sdb1", "dm-0", ".hidden", "hda", "sdb"})),
              (lines{"/dev/sda", mapper + "sdb1", "/dev/sdb1", other + "sdb1", mapper + "dm-0",
                     "/dev/dm-0", mapper + ".hidden", "/dev/.hidden", "/dev/hda", other + "hda",
                     "/dev/sdb"}));
}

TEST(ScanDirs, OnlyExactDevTextIsTheDefault) {
    scan_fixture f;
    std::string dir = dir_with(f.tmp, "d", {"sda"});
    add_scan_dir(&f.dirs, dir.c_str());                     // no final slash
    std::string doubled = f.tmp.path() + "//d//";
    add_scan_dir(&f.dirs, doubled.c_str());
    EXPECT_FALSE(f.dirs.dev_dir_given);
    EXPECT_EQ(f.scan(table({"sda", "sdb"})),
              (lines{dir + "sda", doubled + "sda", "/dev/sda", "/dev/sdb"}));
}

TEST(ScanDirs, DevTwiceGivesTwoPathsAndNoDefault) {
    scan_fixture f;
    add_scan_dir(&f.dirs, "/dev/");
    add_scan_dir(&f.dirs, "/dev/");
    EXPECT_EQ(add_scan_dir(&f.dirs, nullptr), nullptr);
    EXPECT_EQ(f.scan(table({"sda", "a/b"})), (lines{"/dev/sda", "/dev/sda", "/dev/a/b", "/dev/a/b"}));
    free_scan_dirs(&f.dirs);
    EXPECT_TRUE(ring_empty(&f.dirs.scan_dirs));
}

TEST(ScanDirs, LargeDirectoryIsLookedUpByName) {
    scan_fixture f;
    lines names, wanted;
    for (int i = 0; i < 1500; i++)
        names.push_back("dm-" + std::to_string(i));
    // Names around the length that is compared without reading the text.
    for (const char* n : {"fifteen-chars-x", "sixteen-chars-xy", "sixteen-chars-xy-and-more"})
        names.push_back(n);
    std::string dir = dir_with(f.tmp, "big", names) + "/";
    add_scan_dir(&f.dirs, dir.c_str());
    lines partitions = {"dm-1499", "dm-1500", "dm-0", "dm-00", "fifteen-chars-x",
                        "fifteen-chars-", "sixteen-chars-xy", "sixteen-chars-xy-and-mor",
                        "sixteen-chars-xy-and-more"};
    std::set<std::string> present(names.begin(), names.end());
    for (const std::string& p : partitions) {
        if (present.count(p))
            wanted.push_back(dir + p);
        wanted.push_back("/dev/" + p);
    }
    EXPECT_EQ(f.scan(table(partitions)), wanted);
}

// Directories at the fill limits of the name index (half full, full before
// it grows, one name past) find every name they hold and none other. An
// index that filled up would search forever for the absent name: the alarm
// ends the test then.
TEST(ScanDirs, DirectoriesAtTheIndexFillLimitsFindTheirNamesOnly) {
    alarm(30);
    for (int count : {31, 32, 33, 63, 64, 65, 127, 128, 129}) {
        scan_fixture f;
        lines names;
        for (int i = 0; i < count; i++)
            names.push_back("dm-" + std::to_string(i));
        std::string dir = dir_with(f.tmp, "d", names) + "/";
        add_scan_dir(&f.dirs, dir.c_str());
        const std::string& last = names.back();
        EXPECT_EQ(f.scan(table({"absent", "dm-0", last})),
                  (lines{"/dev/absent", dir + "dm-0", "/dev/dm-0", dir + last, "/dev/" + last}))
            << count << " names";
    }
    alarm(0);
}

// A slot table of 2 MiB or more (65536 slots) has memory of its own, aligned
// for huge pages. Sets on both sides of that size, and past it once more,
// reserved at once or grown name by name, find every name they hold and
// none other.
TEST(NameIndex, SetsAroundTheHugePageSizeFindTheirNamesOnly) {
    static_assert(sizeof(name_slot) == 32);
    lines names;
    for (int i = 0; i <= 32769; i++)
        names.push_back("sd" + std::to_string(i));
    for (size_t count : {16384, 16385, 32769}) {
        for (bool reserved : {true, false}) {
            SCOPED_TRACE(std::to_string(count) + (reserved ? " names reserved" : " names grown"));
            name_index index;
            name_index_init(&index);
            if (reserved) {
                ASSERT_EQ(name_index_reserve(&index, count), 0);
            }
            for (size_t i = 0; i < count; i++)
                ASSERT_EQ(name_index_add(&index, names[i].c_str()), 0);
            size_t found = 0;
            for (size_t i = 0; i < count; i++)
                found += name_index_contains(&index, names[i].c_str());
            EXPECT_EQ(found, count);
            EXPECT_FALSE(name_index_contains(&index, names[count].c_str()));
            EXPECT_EQ(index.capacity, count > 32768 ? 131072u : count > 16384 ? 65536u : 32768u);
            name_index_free(&index);
        }
    }
}

TEST(TevscanForm, EveryDeviceGetsDevPath) {
    device_bucket bucket{};
    ring_init(&bucket);
    scan_device* d = add_device(&bucket, "sdb1");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "sdb1");
    EXPECT_STREQ(d->path, "/dev/sdb1");
    EXPECT_EQ(ring_first<scan_device>(&bucket), d);

    scan_fixture f;
    add_pattern(&f.order, "");
    write_file(f.tables_path, table({"sda", "sdb"}));
    scan_setup setup{&f.order, &f.exclude, nullptr, capture_message,
                     {f.tables_path.c_str(), f.ide_path.c_str()}};
    EXPECT_EQ(scan_partitions(setup), 0);
    EXPECT_EQ(f.listing(), (lines{"/dev/sda", "/dev/sdb"}));
    pool_free(&bucket.pool);
}

}  // namespace
