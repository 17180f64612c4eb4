// SPDX-License-Identifier: GPL-2.0-or-later
// Foreign signatures, saved regions and their way back, on loop devices.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"
#include "velmortev/safety.h"

using namespace vlm;
using namespace vlm::test;

namespace {

constexpr off_t device_size = 8 << 20;

// What a device holds before the test looks at it.
using preparation = std::function<void(const std::string& device)>;

void run_tool(const std::string& program, std::vector<std::string> args,
              const std::string& input = "") {
    run_spec spec;
    spec.program = program;
    spec.args = std::move(args);
    spec.input = input;
    run_result made = run(spec);
    ASSERT_EQ(made.status, 0) << program << ": " << made.err;
}

void make_ext4(const std::string& device) { run_tool("/usr/sbin/mkfs.ext4", {"-q", "-F", device}); }

// One primary partition and the boot signature, as a partitioning tool
// leaves a DOS table.
void make_dos_table(const std::string& device) {
    std::string entry(16, '\0');
    entry[4] = '\x83';                             // Linux
    entry.replace(8, 4, "\x00\x08\x00\x00", 4);   // first sector 2048
    entry.replace(12, 4, "\x00\x20\x00\x00", 4);  // 8192 sectors
    write_bytes(device, 446, entry);
    write_bytes(device, 510, "\x55\xaa");
}

// GPT keeps a second header at the device's end, which libblkid shows
// only once the first is gone.
void make_gpt_table(const std::string& device) {
    run_tool("/usr/sbin/sfdisk", {"-q", "--no-reread", device}, "label: gpt\n,1M\n");
}

void write_kit_label(const std::string& device) {
    write_bytes(device, 32, std::string("VLMRDISKDATA1") + std::string(19, '\0'));
}

void leave_empty(const std::string&) {}

std::string mode_of(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) < 0)
        return "missing";
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", st.st_mode & 07777);
    return octal;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    return names;
}

class Safety : public ::testing::Test {
protected:
    // Attaches a fresh loop device and prepares it; the test's device.
    std::string attach(loop_device& loop, const std::string& name, const preparation& prepare,
                       unsigned sector_size = 512) {
        std::string failure = loop.attach(scratch.file(name), device_size, sector_size);
        EXPECT_EQ(failure, "");
        prepare(loop.path());
        return loop.path();
    }
    device_identity identity(const std::string& device, std::string wwid = "",
                             std::string serial = "") {
        return {device, device_size, std::move(wwid), std::move(serial)};
    }
    std::string whole(const std::string& device) { return read_bytes(device, 0, device_size); }

    scratch_dir scratch;
};

struct probe_case {
    const char* name;
    preparation prepare;
    std::vector<std::tuple<std::string, uint64_t, uint64_t>> expected;  // type, offset, length
};

TEST_F(Safety, ProbeNamesForeignSignaturesOnly) {
    REQUIRE_LOOP_DEVICES();
    const probe_case cases[] = {
        {"ext4", make_ext4, {{"ext4", 1080, 2}}},
        {"dos", make_dos_table, {{"dos", 510, 2}}},
        {"gpt", make_gpt_table, {{"gpt", 512, 8}, {"gpt", device_size - 512, 8}, {"PMBR", 510, 2}}},
        {"kit label", write_kit_label, {}},
        {"zeroes", leave_empty, {}},
    };
    for (const probe_case& c : cases) {
        loop_device loop;
        std::string device = attach(loop, c.name, c.prepare);
        std::vector<found_signature> found;
        ASSERT_EQ(probe_signatures(device.c_str(), found), 0) << c.name;
        std::vector<std::tuple<std::string, uint64_t, uint64_t>> seen;
        for (const found_signature& each : found)
            seen.emplace_back(each.type, each.offset, each.length);
        EXPECT_EQ(seen, c.expected) << c.name;
    }
    std::vector<found_signature> found;
    EXPECT_EQ(probe_signatures(scratch.path().c_str(), found), -ENOTBLK);
}

struct round_trip_case {
    const char* name;
    preparation prepare;
    unsigned sector_size;
};

// The front end's road: save the label block and every signature, erase the
// signatures, then bring everything back.
TEST_F(Safety, SavedRegionsBringTheDeviceBackByteForByte) {
    REQUIRE_LOOP_DEVICES();
    const round_trip_case cases[] = {
        {"ext4", make_ext4, 512},
        {"ext4 on 4096-byte blocks", make_ext4, 4096},
        {"dos", make_dos_table, 512},
        {"gpt", make_gpt_table, 512},
    };
    for (const round_trip_case& c : cases) {
        SCOPED_TRACE(c.name);
        loop_device loop;
        std::string device = attach(loop, c.name, c.prepare, c.sector_size);
        std::string before = whole(device);
        std::vector<found_signature> found;
        ASSERT_EQ(probe_signatures(device.c_str(), found), 0);
        ASSERT_FALSE(found.empty());
        std::vector<device_region> regions = signature_regions(found);
        regions.push_back({0, c.sector_size});
        std::vector<std::string> files;
        for (device_region region : regions) {
            std::string saved;
            ASSERT_EQ(save_region(scratch.file("backups"), identity(device), region, saved), 0);
            files.push_back(saved);
        }

        ASSERT_EQ(wipe_signatures(device.c_str(), found), 0);
        ASSERT_EQ(probe_signatures(device.c_str(), found), 0);
        EXPECT_TRUE(found.empty());
        write_bytes(device, 0, std::string(c.sector_size, 'x'));  // the label's write
        EXPECT_NE(whole(device), before);

        for (const std::string& file : files) {
            saved_region saved;
            ASSERT_EQ(read_saved_region(file.c_str(), saved), 0) << file;
            ASSERT_EQ(restore_region(saved, device.c_str(), identity(device)), 0) << file;
        }
        EXPECT_TRUE(whole(device) == before);
    }
}

// Not one byte is erased unless everything the pass would erase was saved,
// the second header of a GPT among it.
TEST_F(Safety, WipeErasesOnlyWhatWasSaved) {
    REQUIRE_LOOP_DEVICES();
    loop_device loop;
    std::string device = attach(loop, "gpt", make_gpt_table);
    std::string before = whole(device);
    std::vector<found_signature> found;
    ASSERT_EQ(probe_signatures(device.c_str(), found), 0);
    ASSERT_EQ(found.size(), 3u);
    const std::vector<found_signature> partly_saved[] = {
        {},
        {found[0]},
        {found[0], found[2]},
        {{"gpt", 512, 4}, found[1], found[2]},
    };
    for (const std::vector<found_signature>& saved : partly_saved)
        EXPECT_EQ(wipe_signatures(device.c_str(), saved), -ESTALE) << saved.size();
    {
        int holder = open(device.c_str(), O_RDONLY | O_EXCL);
        ASSERT_GE(holder, 0);
        EXPECT_EQ(wipe_signatures(device.c_str(), found), -EBUSY);
        close(holder);
    }
    EXPECT_TRUE(whole(device) == before);
}

TEST_F(Safety, BackupsAreForRootAloneAndSayWhatTheyAre) {
    REQUIRE_LOOP_DEVICES();
    loop_device loop;
    std::string device = attach(loop, "ext4", make_ext4);
    std::string dir = scratch.file("var/lib/backups");
    device_identity origin = identity(device, "t10.ATA  QEMU HARDDISK/1", "QM 01");

    std::string first, second;
    ASSERT_EQ(save_region(dir, origin, {1080, 2}, first), 0);
    ASSERT_EQ(save_region(dir, origin, {1080, 2}, second), 0);
    EXPECT_NE(first, second);
    EXPECT_EQ(mode_of(dir), "0700");
    EXPECT_EQ(mode_of(scratch.file("var/lib")), "0755");
    EXPECT_EQ(mode_of(first), "0600");
    std::string base = device.substr(device.rfind('/') + 1);
    EXPECT_EQ(first.rfind(dir + "/" + base + "_t10.ATA__QEMU_HARDDISK_1_1080_", 0), 0u) << first;

    std::string content = read_file(first);
    std::string header = "velmortev saved region 1\ndevice " + device + "\nsize 8388608\n"
                         "wwid t10.ATA  QEMU HARDDISK/1\nserial QM 01\noffset 1080\nlength 2\n"
                         "taken ";
    EXPECT_EQ(content.substr(0, header.size()), header);
    EXPECT_EQ(content.substr(content.size() - 4), "\n\n\x53\xef");
    saved_region saved;
    ASSERT_EQ(read_saved_region(first.c_str(), saved), 0);
    EXPECT_EQ(saved.origin.path, origin.path);
    EXPECT_EQ(saved.origin.size, origin.size);
    EXPECT_EQ(saved.origin.wwid, origin.wwid);
    EXPECT_EQ(saved.origin.serial, origin.serial);
    EXPECT_EQ(saved.offset, 1080u);
    EXPECT_EQ(saved.bytes, (std::vector<unsigned char>{0x53, 0xef}));
    EXPECT_EQ(saved.taken.size(), std::string("2026-12-08T20:15:01.123456789Z").size());
}

TEST_F(Safety, ForeignFilesAreNotSavedRegions) {
    const std::pair<const char*, std::string> cases[] = {
        {"other heading", "velmortev saved region 2\ndevice /dev/x\nsize 1\noffset 0\nlength 1\n"
                          "taken t\n\nA"},
        {"bytes cut short", "velmortev saved region 1\ndevice /dev/x\nsize 1\noffset 0\n"
                            "length 2\ntaken t\n\nA"},
        {"unknown field", "velmortev saved region 1\ndevice /dev/x\nsize 1\noffset 0\n"
                          "length 1\ncolour red\ntaken t\n\nA"},
        {"no header end", "velmortev saved region 1\ndevice /dev/x\n"},
    };
    for (const auto& [name, content] : cases) {
        write_file(scratch.file("file"), content);
        saved_region saved;
        EXPECT_EQ(read_saved_region(scratch.file("file").c_str(), saved), -EBADMSG) << name;
    }
}

struct failed_save_case {
    const char* name;
    std::string dir;
    device_region region;
    int expected;
};

// A save that fails says why and leaves no file, full or partial.
TEST_F(Safety, FailedSavesLeaveNothing) {
    REQUIRE_LOOP_DEVICES();
    loop_device loop;
    std::string device = attach(loop, "ext4", make_ext4);
    std::string before = whole(device);
    std::string full = scratch.file("full"), shared = scratch.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
    write_file(scratch.file("file"), "");
    ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
    // Nothing below returns early, so the mount is always undone.
    ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=4k,mode=0700"), 0) << strerror(errno);
    const failed_save_case cases[] = {
        {"full filesystem", full, {0, 8192}, -ENOSPC},
        {"others may list it", shared, {1080, 2}, -EPERM},
        {"beyond the device's end", shared, {device_size - 1, 2}, -EINVAL},
        {"under a file", scratch.file("file/backups"), {1080, 2}, -ENOTDIR},
        {"no directory named", "", {1080, 2}, -EINVAL},
    };
    for (const failed_save_case& c : cases) {
        std::string saved;
        EXPECT_EQ(save_region(c.dir, identity(device), c.region, saved), c.expected) << c.name;
    }
    EXPECT_TRUE(files_in(full).empty());
    EXPECT_TRUE(files_in(shared).empty());
    EXPECT_TRUE(whole(device) == before);
    umount(full.c_str());
}

struct mismatch_case {
    const char* name;
    device_identity origin;   // as recorded
    device_identity current;  // as the front end finds the target
};

TEST_F(Safety, RestoreRefusesAnotherDevice) {
    REQUIRE_LOOP_DEVICES();
    loop_device loop;
    std::string device = attach(loop, "ext4", make_ext4);
    std::string before = whole(device);
    const mismatch_case cases[] = {
        {"size", {device, device_size / 2, "", ""}, identity(device)},
        {"wwid", identity(device, "naa.1", "S"), identity(device, "naa.2", "S")},
        {"serial without wwid", identity(device, "", "S1"), identity(device, "naa.2", "S2")},
    };
    for (const mismatch_case& c : cases) {
        saved_region saved{c.origin, 1024, std::vector<unsigned char>(512, 0xee), "t"};
        EXPECT_EQ(restore_region(saved, device.c_str(), c.current), -ENODEV) << c.name;
    }
    EXPECT_TRUE(whole(device) == before);
    saved_region matching{identity(device, "naa.1"), 1080, {0x53, 0xef}, "t"};
    EXPECT_EQ(restore_region(matching, device.c_str(), identity(device, "", "S")), 0);
}

}  // namespace

namespace {

struct consent_case {
    const char* name;
    bool yes;
    bool terminal;      // else a pipe
    const char* typed;  // what the administrator types
    consent expected;
    bool asked;
};

TEST(Consent, AsksOnATerminalOnlyAndTakesYesAlone) {
    const consent_case cases[] = {
        {"--yes on a pipe", true, false, "", consent::given, false},
        {"pipe", false, false, "y\n", consent::needs_yes, false},
        {"y", false, true, "y\n", consent::given, true},
        {"YES with blanks", false, true, " YES \n", consent::given, true},
        {"n", false, true, "n\n", consent::declined, true},
        {"empty line", false, true, "\n", consent::declined, true},
        {"yesterday", false, true, "yesterday\n", consent::declined, true},
        {"end of input", false, true, "\x04", consent::declined, true},
    };
    for (const consent_case& c : cases) {
        int ends[2];  // the reading end first
        if (c.terminal) {
            int controller, terminal;
            ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
            ends[0] = terminal;
            ends[1] = controller;
        } else {
            ASSERT_EQ(pipe(ends), 0);
        }
        ASSERT_EQ(write(ends[1], c.typed, strlen(c.typed)), ssize_t(strlen(c.typed)));
        char* shown = nullptr;
        size_t shown_size = 0;
        FILE* prompt = open_memstream(&shown, &shown_size);
        EXPECT_EQ(ask_consent("Erase ext4 on /dev/x?", c.yes, ends[0], prompt), c.expected)
            << c.name;
        fclose(prompt);
        EXPECT_EQ(std::string(shown, shown_size), c.asked ? "Erase ext4 on /dev/x? [y/N] " : "")
            << c.name;
        free(shown);
        close(ends[0]);
        close(ends[1]);
    }
}

}  // namespace
