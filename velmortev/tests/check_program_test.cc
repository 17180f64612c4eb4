// SPDX-License-Identifier: GPL-2.0-or-later
// velmortev check and metrics on loop devices of the test's own, with the
// manager given its type by the testbed's layer. What the machine around it
// says is the test's to choose: systemd's directory and a stand-in
// systemctl, tevtool on the services' PATH (a directory bound over
// /usr/local/sbin) and TEVLib on the loader's path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "loop_world.h"
#include "support.h"

using namespace vlm::test;
using args = std::vector<std::string>;

namespace {

struct check_world : loop_world {
    std::string run_dir = dir.file("run");      // bound over /run
    std::string sbin_dir = dir.file("sbin");    // bound over /usr/local/sbin
    std::string units = dir.file("units");      // what the stand-in systemctl says
    std::string state = dir.file("state");
    bool systemd = true;
    bool tool = true;
    bool library = true;
    bool mounted = true;
    std::vector<std::pair<std::string, std::string>> env;  // for one run

    check_world() {
        for (const std::string& d : {run_dir + "/systemd/system", units, sbin_dir, dir.file("bin")})
            std::filesystem::create_directories(d);
        conf("MANAGERS=" + manager + "\n");
        std::filesystem::copy_file(testbed("bin/tevtool"), sbin_dir + "/tevtool");
        // The stand-in answers from a file named after the verb and the unit,
        // so a wrongly escaped instance name finds nothing.
        std::string systemctl = dir.file("bin/systemctl");
        write_file(systemctl, "#!/bin/sh\neval last=\\${$#}\ncat \"" + units +
                                  "/$1 $last\" 2>/dev/null\n");
        chmod(systemctl.c_str(), 0755);
        unit("Result=success\nExecMainStatus=0\n", "enabled\n");
    }

    void conf(const std::string& text) const {
        write_file(etc + "/velmortev.conf", text);
        chmod((etc + "/velmortev.conf").c_str(), 0644);
    }
    // The scratch path holds only letters, digits, '.' and '/'.
    std::string instance() const {
        std::string name = manager.substr(1);
        for (char& c : name)
            if (c == '/')
                c = '-';
        return name;
    }
    void unit(const std::string& show, const std::string& enabled) const {
        std::string name = "tevscan@" + instance() + ".service";
        write_file(units + "/show " + name, show);
        write_file(units + "/is-enabled " + name, enabled);
    }

    run_result velmortev(const args& arguments) const {
        run_spec s = front_spec(arguments);
        s.preload = mounted;
        if (systemd)
            s.binds.push_back({run_dir, "/run"});
        if (tool)
            s.binds.push_back({sbin_dir, "/usr/local/sbin"});
        s.env.insert(s.env.end(),
                     {{"VELMORTEV_STATE_DIR", state + "/var/passes"},
                      {"LD_LIBRARY_PATH", library ? testbed(".") : dir.path()},
                      {"PATH", dir.file("bin") + ":" + std::getenv("PATH")}});
        s.env.insert(s.env.end(), env.begin(), env.end());
        // As an agent may hand it down: systemctl must still be waited for.
        s.ignored_signals = {SIGCHLD};
        return run(s);
    }

    void node(const std::string& name, int i) const {
        ASSERT_EQ(mknod((disks + "/" + name).c_str(), S_IFBLK | 0600, loops[i].rdev()), 0);
    }
    void zero(int i, off_t offset, size_t length) const {
        write_bytes(dev(i), offset, std::string(length, '\0'));
    }
};

#define REQUIRE_CHECK_WORLD(w)  \
    REQUIRE_LOOP_DEVICES();     \
    check_world w;              \
    ASSERT_EQ(w.attached, "");  \
    w.write_label(0, "DATA1");  \
    w.node("DATA1", 0)

const char healthy[] =
    "VELMORTEV OK - 1 labelled disk, no findings | disks=1;;;0 findings=0;;;0 critical=0;;;0 "
    "warning=0;;;0\n";

struct finding_case {
    std::string id;
    int status;  // of check while the finding stands
    std::function<void(check_world&)> raise, clear;
    std::string line;  // a part of the finding's line
};

// Each finding comes when its cause is made and goes when it is undone, and
// the world is healthy again after each.
TEST(HealthCheck, EveryFindingIsRaisedAndCleared) {
    REQUIRE_CHECK_WORLD(w);
    run_result r = w.velmortev({"check"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(r.out, healthy);

    bool have_mkfs = access("/sbin/mkfs.ext4", X_OK) == 0;
    const std::vector<finding_case> cases = {
        {"duplicate-label", 2, [](check_world& w) { w.write_label(1, "DATA1"); },
         [](check_world& w) { w.zero(1, 0, 4096); },
         "label DATA1 is on " + w.dev(0) + " and " + w.dev(1)},
        {"stale-node", 2, [](check_world& w) { w.node("GHOST", 2); },
         [](check_world& w) { unlink((w.disks + "/GHOST").c_str()); },
         "node " + w.disks + "/GHOST stands for " + w.dev(2) + ", which carries no label"},
        {"manager-missing", 2,
         [](check_world& w) { w.conf("MANAGERS=\"" + w.manager + " /nonexistent/m\"\n"); },
         [](check_world& w) { w.conf("MANAGERS=" + w.manager + "\n"); },
         "manager /nonexistent/m: No such file or directory"},
        {"signature-conflict", 2,
         [&](check_world& w) {
             if (!have_mkfs)
                 return;
             run_spec mkfs;
             mkfs.program = "/sbin/mkfs.ext4";
             mkfs.args = {"-q", "-F", w.dev(2)};
             ASSERT_EQ(run(mkfs).status, 0);
             w.write_label(2, "DATA3");
             w.node("DATA3", 2);
         },
         [](check_world& w) {
             w.zero(2, 0, 4096);
             unlink((w.disks + "/DATA3").c_str());
         },
         " labelled DATA3 also carries ext4 at offset 1080"},
        {"last-pass-failed", 2,
         [](check_world& w) { w.unit("Result=exit-code\nExecMainStatus=226\n", "enabled\n"); },
         [](check_world& w) { w.unit("Result=success\nExecMainStatus=0\n", "enabled\n"); },
         "failed (exit-code): status 226 EROFS (Read-only file system)"},
        {"missing-node", 1, [](check_world& w) { unlink((w.disks + "/DATA1").c_str()); },
         [](check_world& w) { w.node("DATA1", 0); },
         w.dev(0) + " labelled DATA1 has no node in " + w.manager},
        {"tool-missing", 1, [](check_world& w) { w.tool = false; },
         [](check_world& w) { w.tool = true; },
         "tevtool is not on /usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin"},
        {"unit-disabled", 1,
         [](check_world& w) { w.unit("Result=success\nExecMainStatus=0\n", "disabled\n"); },
         [](check_world& w) { w.unit("Result=success\nExecMainStatus=0\n", "enabled\n"); },
         " is not enabled (disabled)"},
        {"library-missing", 1, [](check_world& w) { w.library = false; },
         [](check_world& w) { w.library = true; }, "TEVLib cannot be loaded: "},
    };
    for (const finding_case& c : cases) {
        if (c.id == "signature-conflict" && !have_mkfs)
            continue;
        c.raise(w);
        r = w.velmortev({"check"});
        EXPECT_EQ(r.status, c.status) << c.id << "\n" << r.out << r.err;
        std::string first = r.out.substr(0, r.out.find('\n'));
        EXPECT_EQ(first.rfind(c.status == 2 ? "VELMORTEV CRITICAL - " : "VELMORTEV WARNING - ", 0),
                  0u) << first;
        std::string expected = (c.status == 2 ? "CRITICAL " : "WARNING ") + c.id + ": ";
        size_t at = r.out.find("\n" + expected);
        ASSERT_NE(at, std::string::npos) << c.id << "\n" << r.out;
        EXPECT_NE(r.out.substr(at).find(c.line), std::string::npos) << c.id << "\n" << r.out;

        nlohmann::json doc = nlohmann::json::parse(w.velmortev({"check", "-o", "json"}).out);
        EXPECT_EQ(doc["exit_status"], c.status) << c.id;
        bool listed = false;
        for (const auto& f : doc["findings"])
            listed = listed || f["id"] == c.id;
        EXPECT_TRUE(listed) << c.id << "\n" << doc.dump();

        c.clear(w);
        r = w.velmortev({"check"});
        EXPECT_EQ(r.status, 0) << c.id << "\n" << r.out;
        EXPECT_EQ(r.out, healthy) << c.id;
    }
}

// Without systemd the unit findings are not looked at, which is said once;
// without any manager the inventory cannot be taken: UNKNOWN, and why.
TEST(HealthCheck, WithoutSystemdOrManagers) {
    REQUIRE_CHECK_WORLD(w);
    w.systemd = false;
    w.unit("Result=exit-code\nExecMainStatus=226\n", "disabled\n");
    run_result r = w.velmortev({"check"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, std::string(healthy) +
                         "systemd is not running: unit-disabled and last-pass-failed were not "
                         "looked at\n");
    nlohmann::json doc = nlohmann::json::parse(w.velmortev({"check", "-o", "json"}).out);
    EXPECT_EQ(doc["not_looked_at"], nlohmann::json({"unit-disabled", "last-pass-failed"}));

    w.conf("");
    w.mounted = false;
    r = w.velmortev({"check"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "VELMORTEV UNKNOWN - no mounted manager was found in /proc/self/mountinfo\n");
    doc = nlohmann::json::parse(w.velmortev({"check", "-o", "json"}).out);
    EXPECT_EQ(doc["status"], "UNKNOWN");
}

// The journal's socket as the test's own: every datagram a run sent.
struct journal_stand_in {
    std::string path;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    explicit journal_stand_in(const std::string& where) : path(where) {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~journal_stand_in() { close(fd); }
    std::vector<std::string> records() const {
        std::vector<std::string> out;
        char buffer[65536];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            out.emplace_back(buffer, static_cast<size_t>(n));
        return out;
    }
};

const char succeeded_id[] = "MESSAGE_ID=5f0c3a9e7d2b4c61a8e4f2b7c90d1e36\n";
const char failed_id[] = "MESSAGE_ID=b41e6d2c98a74f0d9c3b5e1a7f2d8c40\n";
const char finding_id[] = "MESSAGE_ID=2d9a7c4e1b6f48d3a0e5c8b2f7146d9a\n";

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct pass_case {
    std::string what;
    std::function<void(check_world&)> before;  // what the pass did
    std::string result, status;                // as systemd hands them over
    std::vector<std::string> records;          // MESSAGE_IDs, in order
    std::vector<std::string> fields;           // in the pass's record
    std::string metric;                        // a line of the metrics
};

// What tevscan-event end records after each pass: one record with the
// counts and the status, one per finding that the pass brought, and the
// metrics, which keep the last success through a failure.
TEST(HealthPassRecord, OneRecordPerPassAndMetricsAfterIt) {
    REQUIRE_CHECK_WORLD(w);
    journal_stand_in journal(w.dir.file("journal"));
    std::string metrics = w.dir.file("metrics"), begun = w.dir.file("begun");
    std::filesystem::create_directories(metrics);
    w.conf("MANAGERS=" + w.manager + "\nMETRICS_DIR=" + metrics + "\n");
    const std::vector<pass_case> cases = {
        {"one node gone, one made",
         [](check_world& w) {
             w.write_label(1, "DATA2");
             w.node("DATA2", 1);
             write_file(w.dir.file("begun"), std::to_string(std::time(nullptr) - 2) +
                                                 ".25\nDATA1\nOLD\n");
         },
         "success", "0", {succeeded_id},
         {"VELMORTEV_NODES_REMOVED=1\n", "VELMORTEV_NODES_CREATED=1\n",
          "VELMORTEV_MANAGER=" + w.manager + "\n", "VELMORTEV_STATUS=0\n"},
         "velmortev_last_pass_status{manager=\"" + w.manager + "\"} 0\n"},
        {"a failure that leaves a node missing",
         [](check_world& w) {
             unlink((w.disks + "/DATA2").c_str());
             write_file(w.dir.file("begun"), std::to_string(std::time(nullptr)) +
                                                 "\nDATA1\nDATA2\n");
         },
         "exit-code", "226", {failed_id, finding_id},
         {"VELMORTEV_NODES_REMOVED=1\n", "VELMORTEV_NODES_CREATED=0\n", "ERRNO=30\n",
          "VELMORTEV_ERRNO=EROFS\n", "VELMORTEV_ERRNO_TEXT=Read-only file system\n",
          "VELMORTEV_STATUS=226\n"},
         "velmortev_last_pass_status{manager=\"" + w.manager + "\"} 226\n"},
        {"the same finding again: no second record",
         [](check_world& w) {
             write_file(w.dir.file("begun"), std::to_string(std::time(nullptr)) + "\nDATA1\n");
         },
         "exit-code", "226", {failed_id}, {"VELMORTEV_NODES_REMOVED=0\n"},
         "velmortev_findings{id=\"missing-node\",severity=\"warning\"} 1\n"},
    };
    time_t first_end = 0;
    for (const pass_case& c : cases) {
        c.before(w);
        w.env = {{"VELMORTEV_JOURNAL_SOCKET", journal.path},
                 {"SERVICE_RESULT", c.result},
                 {"EXIT_CODE", "exited"},
                 {"EXIT_STATUS", c.status}};
        run_result r = w.velmortev({"record-pass", w.instance(), begun});
        EXPECT_EQ(r.status, 0) << c.what << r.out << r.err;
        if (!first_end)
            first_end = std::time(nullptr);
        std::vector<std::string> records = journal.records();
        ASSERT_EQ(records.size(), c.records.size()) << c.what;
        for (size_t i = 0; i < records.size(); i++)
            EXPECT_TRUE(has(records[i], c.records[i])) << c.what << "\n" << records[i];
        for (const std::string& field : c.fields)
            EXPECT_TRUE(has(records[0], field)) << c.what << ": " << field << "\n" << records[0];
        if (c.records.size() > 1) {
            EXPECT_TRUE(has(records[1], "MESSAGE=WARNING missing-node: " + w.dev(1) +
                                            " labelled DATA2 has no node in " + w.manager +
                                            "\n"))
                << records[1];
        }

        std::string text = read_file(metrics + "/velmortev.prom");
        EXPECT_TRUE(has(text, c.metric)) << c.what << "\n" << text;
        // The last success is the first pass's end, through the failures.
        std::string success = "velmortev_last_pass_success_timestamp_seconds{manager=\"" +
                              w.manager + "\"} ";
        size_t at = text.find(success);
        ASSERT_NE(at, std::string::npos) << text;
        double when = std::atof(text.c_str() + at + success.size());
        EXPECT_NEAR(when, static_cast<double>(first_end), 2.0) << c.what;
        if (access("/usr/bin/promtool", X_OK) == 0) {
            run_spec promtool;
            promtool.program = "/usr/bin/promtool";
            promtool.args = {"check", "metrics"};
            promtool.input_path = metrics + "/velmortev.prom";
            r = run(promtool);
            EXPECT_EQ(r.status, 0) << r.out << r.err;
        }
    }
    w.env.clear();
    run_result r = w.velmortev({"metrics"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "velmortev_labelled_disks 2\n")) << r.out;
    EXPECT_TRUE(has(r.out, "velmortev_nodes{manager=\"" + w.manager + "\"} 1\n")) << r.out;
    r = w.velmortev({"metrics", "--textfile", w.dir.file("nowhere")});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "velmortev: Unable to write the metrics to \"" + w.dir.file("nowhere") +
                         "\": No such file or directory\n");
}

// tevscan-event keeps the start and the disks/ listing at begin and hands
// them to the record at end, with what systemd says of the pass; a record
// that fails never fails the pass.
TEST(HealthPassRecord, TheEventHelperHandsThePassOver) {
    REQUIRE_CHECK_WORLD(w);
    std::string bin = w.dir.file("bin"), out = w.dir.file("out");
    std::filesystem::create_directories(out);
    write_file(bin + "/udevadm", "#!/bin/sh\nexit 0\n");
    write_file(bin + "/velmortev", "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"" + out +
                                       "/args\"\ncp \"$3\" \"" + out +
                                       "/begun\"\necho \"$SERVICE_RESULT\" >\"" + out +
                                       "/result\"\nexit 1\n");
    for (const char* program : {"udevadm", "velmortev"})
        chmod((bin + "/" + program).c_str(), 0755);
    auto event = [&](const std::string& step) {
        run_spec s;
        s.program = "/bin/sh";
        s.args = {EVENT_SCRIPT, step, w.instance()};
        s.binds = {{w.run_dir, "/run"}};
        s.env = {{"PATH", bin + ":" + std::getenv("PATH")}, {"SERVICE_RESULT", "exit-code"}};
        return run(s);
    };
    time_t before = std::time(nullptr);
    run_result r = event("begin");
    ASSERT_EQ(r.status, 0) << r.err;
    w.node("DATA2", 1);  // what the pass made
    r = event("end");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(out + "/args"), "record-pass\n" + w.instance() + "\n/run/velmortev/begun/" +
                                            w.instance() + "\n");
    std::string begun = read_file(out + "/begun");
    EXPECT_NEAR(std::atof(begun.c_str()), static_cast<double>(before), 2.0) << begun;
    EXPECT_EQ(begun.substr(begun.find('\n')), "\nDATA1\n");
    EXPECT_EQ(read_file(out + "/result"), "exit-code\n");
    EXPECT_FALSE(std::filesystem::exists(w.run_dir + "/velmortev/begun/" + w.instance()));
}

}  // namespace
