// SPDX-License-Identifier: GPL-2.0-or-later
// The rules of velmortev check on inventories made by hand (multipath maps
// are not to be had on loop devices), the names systemd gives instances,
// exit statuses read as errnos, and the metrics as Prometheus reads them.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include "support.h"
#include "velmortev/check.h"
#include "velmortev/metrics.h"
#include "velmortev/pass_record.h"

using namespace vlm;
using namespace vlm::test;

namespace {

TEST(HealthNames, InstancesEscapedAsSystemdDoes) {
    const struct {
        std::string path, instance;
    } cases[] = {
        {"/mnt/velmor", "mnt-velmor"},
        {"/", "-"},
        {"//srv//disk-set/", "srv-disk\\x2dset"},
        {"/mnt/.hidden/a.b", "mnt-.hidden-a.b"},
        {"/.dot", "\\x2edot"},
        {"/mnt/with space:x_y", "mnt-with\\x20space:x_y"},
        {"/mnt/caf\xc3\xa9", "mnt-caf\\xc3\\xa9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(systemd_escape_path(c.path), c.instance) << c.path;
        // Doubled and trailing slashes do not come back.
        bool plain = c.path == "/" || (c.path.find("//") == std::string::npos && c.path.back() != '/');
        if (plain) {
            EXPECT_EQ(systemd_unescape_path(c.instance), c.path) << c.instance;
        }
    }
}

TEST(HealthNames, StatusesReadAsNegatedErrnos) {
    const struct {
        int status;
        std::string text;
    } cases[] = {
        {226, "EROFS (Read-only file system)"},
        {254, "ENOENT (No such file or directory)"},
        {228, "ENOSPC (No space left on device)"},
        {0, "0"},
        {1, "1"},  // errno 255 has no name
    };
    for (const auto& c : cases)
        EXPECT_EQ(status_text(c.status), c.text) << c.status;
}

TEST(HealthNames, NodesRemovedAndCreatedBetweenListings) {
    node_changes c = compare_listings({"A", "B", "C"}, {"C", "D", "A"});
    EXPECT_EQ(c.removed, 1u);
    EXPECT_EQ(c.created, 1u);
    c = compare_listings({}, {"X", "Y"});
    EXPECT_EQ(c.removed, 0u);
    EXPECT_EQ(c.created, 2u);
}

// A multipath map dm-3 over the paths sdb and sdc, all three reading the
// label DATA1, and one plain disk sda.
struct map_world {
    inventory inv;
    health_facts facts;
    map_world() {
        auto row = [&](const std::string& name, unsigned minor_number, const std::string& map) {
            device_row r;
            r.name = name;
            r.path = "/dev/" + name;
            r.rdev = makedev(8, minor_number);
            r.labelled = true;
            r.label = "DATA1";
            r.facts.map = map;
            r.nodes.push_back({"/m", false, false, 0});
            inv.rows.push_back(r);
        };
        row("dm-3", 3, "dm-3");
        row("sdb", 16, "dm-3");
        row("sdc", 32, "dm-3");
        facts.managers = {"/m"};
        facts.tool = "/usr/sbin/tevtool";
    }
    void node_for(size_t row) {
        for (device_row& r : inv.rows) {
            r.nodes[0].present = true;
            r.nodes[0].rdev = inv.rows[row].rdev;
            r.nodes[0].this_device = &r == &inv.rows[row];
        }
    }
    std::vector<std::string> ids() const {
        std::vector<std::string> out;
        for (const finding& f : find_problems(inv, facts))
            out.push_back(f.id);
        return out;
    }
};

using ids = std::vector<std::string>;

TEST(HealthRules, AMapAndItsPathsAreOneDisk) {
    map_world w;
    EXPECT_EQ(w.ids(), ids{"missing-node"});  // once, for the map
    EXPECT_EQ(labelled_disks(w.inv), 1u);
    w.node_for(0);
    EXPECT_EQ(w.ids(), ids{});
    w.node_for(2);
    EXPECT_EQ(w.ids(), ids{"node-on-path"});
    std::vector<finding> found = find_problems(w.inv, w.facts);
    EXPECT_EQ(found[0].text, "node /m/disks/DATA1 stands for /dev/sdc, a path of the multipath "
                             "map /dev/dm-3");
    EXPECT_EQ(worst(found), severity::warning);

    // The same label on a disk of its own is a duplicate; its node counts
    // as the map's node standing for it.
    device_row other = w.inv.rows[0];
    other.name = "sda";
    other.path = "/dev/sda";
    other.rdev = makedev(8, 0);
    other.facts.map.clear();
    other.nodes[0] = {"/m", true, true, other.rdev};
    w.node_for(0);
    w.inv.rows.push_back(other);
    EXPECT_EQ(w.ids(), ids{"duplicate-label"});
    EXPECT_EQ(find_problems(w.inv, w.facts)[0].devices, ids({"/dev/dm-3", "/dev/sda"}));
    EXPECT_EQ(worst(find_problems(w.inv, w.facts)), severity::critical);

    // A node of the map's label moved onto a device with another label.
    w.inv.rows.pop_back();
    w.inv.strays.push_back({"/m", "OLD", true, makedev(8, 3)});
    w.inv.strays.push_back({"/m", "JUNK", false, 0});
    found = find_problems(w.inv, w.facts);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].text, "node /m/disks/OLD stands for /dev/dm-3, which carries the label DATA1");
    EXPECT_EQ(found[1].text, "node /m/disks/JUNK is no block node");
}

TEST(HealthRules, UnitFindingsOnlyWhereSystemdRuns) {
    map_world w;
    w.node_for(0);
    w.facts.units.push_back({"/m", "disabled", "exit-code", 226});
    EXPECT_EQ(w.ids(), ids({"last-pass-failed", "unit-disabled"}));
    w.facts.systemd = false;
    EXPECT_EQ(w.ids(), ids{});
}

// What node_exporter would read, as promtool judges it: the status alone
// when the inventory could not be taken, everything after a look.
TEST(HealthMetrics, PromtoolAcceptsThem) {
    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "promtool (Debian package prometheus) is needed";
    map_world w;
    for (device_row& row : w.inv.rows)
        row.label = "WITH\"QUOTE\\";
    w.node_for(2);
    std::vector<finding> found = find_problems(w.inv, w.facts);
    pass_facts pass{"/m", true, 1765000000.5, 0.25, 226, 1764990000};
    scratch_dir dir;
    for (const std::string& text :
         {metrics_text(severity::unknown, nullptr, nullptr, {pass}),
          metrics_text(worst(found), &w.inv, &found, {pass, pass_facts{"/n"}})}) {
        ASSERT_EQ(write_textfile(dir.path(), text), 0);
        run_spec s;
        s.program = "/usr/bin/promtool";
        s.args = {"check", "metrics"};
        s.input_path = dir.file("velmortev.prom");
        run_result r = run(s);
        EXPECT_EQ(r.status, 0) << r.out << r.err << text;
        EXPECT_EQ(r.out + r.err, "") << text;
    }
    std::string text = read_file(dir.file("velmortev.prom"));
    for (const char* line : {
             "velmortev_check_status 1\n",
             "velmortev_disk_info{label=\"WITH\\\"QUOTE\\\\x5c\"} 1\n",
             "velmortev_findings{id=\"node-on-path\",severity=\"warning\"} 1\n",
             "velmortev_findings{id=\"stale-node\",severity=\"critical\"} 0\n",
             "velmortev_nodes{manager=\"/m\"} 1\n",
             "velmortev_nodes{manager=\"/n\"} 0\n",
             "velmortev_last_pass_success_timestamp_seconds{manager=\"/m\"} 1764990000\n",
             "velmortev_last_pass_end_timestamp_seconds{manager=\"/m\"} 1765000000.5\n",
             "velmortev_last_pass_status{manager=\"/m\"} 226\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(text.find("manager=\"/n\"} 0\nvelmortev_last"), std::string::npos);
}

}  // namespace
