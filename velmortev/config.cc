// SPDX-License-Identifier: GPL-2.0-or-later
#include "velmortev/config.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/owners.h"

namespace vlm {

namespace {

constexpr std::string_view blanks = " \t\r";

std::string_view trim(std::string_view text) {
    size_t start = text.find_first_not_of(blanks);
    if (start == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(blanks);
    return text.substr(start, end - start + 1);
}

std::vector<std::string> split_words(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = text.find_first_not_of(blanks, at)) != std::string_view::npos) {
        size_t end = text.find_first_of(blanks, at);
        if (end == std::string_view::npos)
            end = text.size();
        words.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

const key_entry* find_key(std::string_view name) {
    for (const key_entry& key : setting_keys)
        if (name == key.name)
            return &key;
    return nullptr;
}

// What is wrong with the words as a value of the key, or null.
const char* value_problem(std::string_view key, const std::vector<std::string>& words) {
    bool paths = key == "MANAGERS" || key == "BACKUP_DIR";
    for (const std::string& word : words) {
        if (paths && word[0] != '/')
            return "is not an absolute path";
        // A pattern is a prefix of a partition name, which never holds '/'.
        if (!paths && word.find('/') != std::string::npos)
            return "is a pattern with a '/'";
    }
    if (key == "BACKUP_DIR" && words.size() != 1)
        return "must be one absolute path";
    return nullptr;
}

std::string where(const std::string& file, unsigned line) {
    return file + ":" + std::to_string(line);
}

int parse_line(std::string_view text, const std::string& file, unsigned line, settings& out,
               std::string& problem) {
    text = trim(text);
    if (text.empty() || text[0] == '#')
        return 0;
    size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        problem = where(file, line) + ": a line without '='";
        return -EINVAL;
    }
    std::string_view name = trim(text.substr(0, equals));
    const key_entry* key = find_key(name);
    if (!key) {
        problem = where(file, line) + ": unknown key \"" + std::string(name) + "\"";
        return -EINVAL;
    }
    std::string_view value = trim(text.substr(equals + 1));
    if (!value.empty() && value[0] == '"') {
        if (value.size() < 2 || value.back() != '"') {
            problem = where(file, line) + ": a value without its closing '\"'";
            return -EINVAL;
        }
        value = value.substr(1, value.size() - 2);
    }
    std::vector<std::string> words = split_words(value);
    if (const char* wrong = value_problem(name, words)) {
        problem = where(file, line) + ": " + std::string(name) + " " + wrong;
        return -EINVAL;
    }
    out.*key->field = setting{std::move(words), file, line};
    return 0;
}

// The file's text, read through a descriptor whose owner and mode were
// checked: the patterns it holds decide which devices the program writes.
int read_trusted_file(const std::string& path, std::string& text, std::string& problem) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        if (errno == ENOENT)
            return 1;
        int rc = -errno;
        problem = path + ": " + std::strerror(errno);
        return rc;
    }
    struct stat st;
    if (fstat(fd.get(), &st) < 0) {
        int rc = -errno;
        problem = path + ": " + std::strerror(errno);
        return rc;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = path + ": not a regular file, refused";
        return -EPERM;
    }
    if (st.st_uid != 0) {
        problem = path + ": not owned by root, refused";
        return -EPERM;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        problem = path + ": writable by group or others, refused";
        return -EPERM;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n == 0)
            return 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int rc = -errno;
            problem = path + ": " + std::strerror(errno);
            return rc;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

int apply_file(const std::string& path, settings& out, std::string& problem) {
    std::string text;
    int rc = read_trusted_file(path, text, problem);
    if (rc != 0)
        return rc > 0 ? 0 : rc;
    return parse_config_text(text, path, out, problem);
}

// The names of the drop-ins, in byte order; a missing directory has none.
std::vector<std::string> drop_in_names(const std::string& dir) {
    std::vector<std::string> names;
    unique_dir d(opendir(dir.c_str()));
    if (!d)
        return names;
    while (dirent* entry = readdir(d.get())) {
        std::string_view name = entry->d_name;
        if (name.size() > 5 && name.substr(name.size() - 5) == ".conf" && name[0] != '.')
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

int parse_config_text(std::string_view text, const std::string& file, settings& out,
                      std::string& problem) {
    unsigned line = 0;
    while (!text.empty()) {
        line++;
        size_t end = text.find('\n');
        std::string_view one = text.substr(0, end);
        int rc = parse_line(one, file, line, out, problem);
        if (rc < 0)
            return rc;
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return 0;
}

int load_config(const std::string& dir, settings& out, std::string& problem) {
    int rc = apply_file(dir + "/velmortev.conf", out, problem);
    if (rc < 0)
        return rc;
    std::string drop_ins = dir + "/conf.d";
    for (const std::string& name : drop_in_names(drop_ins)) {
        rc = apply_file(drop_ins + "/" + name, out, problem);
        if (rc < 0)
            return rc;
    }
    return 0;
}

std::string config_dir() {
    const char* given = std::getenv(config_dir_variable);
    return given && *given ? given : config_dir_default;
}

}  // namespace vlm
