// SPDX-License-Identifier: GPL-2.0-or-later
// What tevscan makes of tevtool's answers: the wait status, standard output
// and standard error of each run, made from the input (answers separated by
// 0x1d; in each, the first byte gives the ending, then the standard output
// up to 0x1e, then the standard error). Texts are cut to the runner's
// capacity as the runner cuts them and may hold NUL bytes. The flow of one
// disk entry (query, delete) and one device (queries, create) is checked
// against the rules of the flow: which entry is removed, what the delete
// gives, and which label is created.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "tevscan/run_tool.h"
#include "tevscan/tevscan_command.h"

using namespace vlm;

namespace {

struct answer {
    int status;  // as run_tool returns it
    std::string out, err;
};

std::vector<answer> answers;
size_t next_answer;
std::vector<std::vector<std::string>> calls;

int status_of(unsigned char b) {
    if (b < 0xf0)
        return b << 8;                 // exited with code b
    if (b < 0xfd)
        return b - 0xef;               // killed by signal 1-13
    if (b == 0xfd)
        return 0x7f;                   // stopped: an ending the flow does not know
    return b == 0xfe ? -ENOENT : -EMFILE;  // not run
}

void parse(std::string_view input) {
    answers.clear();
    while (!input.empty()) {
        size_t end = input.find('\x1d');
        std::string_view one = input.substr(0, end);
        answer a{status_of(one.empty() ? 0 : static_cast<unsigned char>(one[0])), "", ""};
        if (!one.empty())
            one.remove_prefix(1);
        size_t split = one.find('\x1e');
        a.out = std::string(one.substr(0, split));
        if (split != std::string_view::npos)
            a.err = std::string(one.substr(split + 1));
        answers.push_back(a);
        if (end == std::string_view::npos)
            break;
        input.remove_prefix(end + 1);
    }
}

// Fills a captured text the way the runner does.
void capture(const std::string& bytes, captured_text* t) {
    size_t capacity = capture_capacity();
    t->text.reset(static_cast<char*>(std::malloc(capacity)));
    size_t n = std::min(bytes.size(), capacity);
    std::memcpy(t->text.get(), bytes.data(), n);
    t->text.get()[n < capacity ? n : capacity - 1] = '\0';
    t->count = n;
}

// The C-string view of a text, as the flow searches it.
std::string c_text(const std::string& bytes) {
    std::string cut = bytes.substr(0, std::min(bytes.size(), capture_capacity() - 1));
    return std::string(cut.c_str());
}
bool has(const std::string& bytes, const char* needle) {
    return c_text(bytes).find(needle) != std::string::npos;
}
bool exited(const answer& a) { return a.status >= 0 && (a.status & 0x7f) == 0; }
int code(const answer& a) { return (a.status >> 8) & 0xff; }

// The rules of the disk query.
bool model_invalid(const answer& a) {
    if (!exited(a))
        return false;
    if (code(a) != 0)
        return !(has(a.err, "Unable to") && !has(a.err, "No such device") &&
                 !has(a.err, "Invalid argument"));
    return !has(a.out, "valid TEV disk");
}

// The rules of the delete's outcome.
int model_delete(const answer& a) {
    if (a.status < 0)
        return a.status;
    if ((a.status & 0x7f) == 0x7f)
        return a.status;
    if (a.status & 0x7f)
        return -EINTR;
    return code(a);
}

// A label that can name one entry of the disks directory and fits a label
// field; any other is refused without a create.
bool usable(const std::string& label) {
    if (label.empty() || label == "." || label == ".." || label.size() > 24)
        return false;
    for (unsigned char c : label)
        if (c < 0x20 || c >= 0x7f || c == '/')
            return false;
    return true;
}

// Whether the device queries lead to a create, and with which label.
bool model_create(size_t first, std::string* label) {
    size_t i = first;
    for (int tries = 0; tries < 4; tries++, i++) {
        if (i >= answers.size())
            return false;  // the runner's stand-in answers "not run"
        const answer& a = answers[i];
        if (!exited(a))
            return false;
        if (code(a) != 0) {
            if (!has(a.err, "not marked") && has(a.err, "No such") && tries < 3)
                continue;
            return false;
        }
        std::string out = c_text(a.out);
        if (out.find("is marked") == std::string::npos)
            return false;
        size_t closing = out.rfind('"');
        if (closing == std::string::npos || closing == 0)
            return false;
        size_t opening = out.rfind('"', closing - 1);
        if (opening == std::string::npos)
            return false;
        *label = out.substr(opening + 1, closing - opening - 1);
        return usable(*label);
    }
    return false;
}

}  // namespace

// The runner's stand-in, linked in place of the kit's run_tool (whose object
// file then stays out of the link): hands out the next answer and records the
// call. Defined by its qualified name, so that it no longer compiles once it
// stops matching the declaration.
int vlm::run_tool(const char** argv, captured_text* out, captured_text* err) {
    fuzz::require(argv && !argv[0], "slot 0 of the vector is not empty");
    std::vector<std::string> words;
    for (const char** a = argv + 1; *a; a++)
        words.push_back(*a);
    calls.push_back(words);
    if (next_answer >= answers.size())
        return -ENOENT;
    const answer& a = answers[next_answer++];
    if (a.status < 0)
        return a.status;
    capture(a.out, out);
    capture(a.err, err);
    return a.status;
}

// The retry waits cost nothing here.
extern "C" unsigned __wrap_sleep(unsigned) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    parse(std::string_view(reinterpret_cast<const char*>(data), size));
    next_answer = 0;
    calls.clear();
    fuzz::redirected_streams streams;

    bool invalid = disk_is_invalid("/m", "DISK");
    bool expected_invalid = !answers.empty() && model_invalid(answers[0]);
    fuzz::require(invalid == expected_invalid, "entry kept or removed against the rules");
    size_t at = 1;
    if (invalid) {
        int result = delete_disk("/m", "DISK");
        int expected = at < answers.size() ? model_delete(answers[at]) : -ENOENT;
        fuzz::require(result == expected, "outcome of the delete", std::to_string(result));
        at++;
    }
    size_t queries_before = calls.size();
    next_answer = std::min(at, answers.size());
    std::string label;
    bool expected_create = model_create(at, &label);
    instantiate_if_marked("/m", "/dev/sdz1");
    bool created = calls.size() > queries_before && calls.back()[0] == "-C";
    fuzz::require(created == expected_create, "created against the rules", label);
    if (created)
        fuzz::require(calls.back()[4] == label && calls.back()[6] == "/dev/sdz1", "created label",
                      calls.back()[4]);
    return 0;
}
