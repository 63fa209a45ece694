// SPDX-License-Identifier: MIT
// The file helpers every part of the adapter shares: reading a file's
// text, a path with its links resolved, a folder's entries, writing all of
// a text, replacing a file whole, the one-line state files, the folders
// the shared state lives in, and the names of a node's files there.

#include "monitor.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

std::optional<std::string> read_all(int fd, size_t most)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got = 1; got > 0 && text.size() < most;) {
        got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text.substr(0, most);
}

std::optional<std::string> read_text(const std::string &path, size_t most)
{
    const owned_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.fd < 0)
        return std::nullopt;
    return read_all(file.fd, most);
}

std::optional<std::string> read_regular_file(const std::string &path, size_t most, const std::vector<uid_t> &owners)
{
    const owned_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {
    };
    if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        (!owners.empty() && std::find(owners.begin(), owners.end(), status.st_uid) == owners.end()))
        return std::nullopt;
    return read_all(file.fd, most);
}

std::optional<std::string> real_path(const std::string &path)
{
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        return std::nullopt;
    return std::string(resolved);
}

std::vector<std::string> folder_entries(const std::string &folder)
{
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR *)> listing(opendir(folder.c_str()), closedir);
    while (const dirent *entry = listing ? readdir(listing.get()) : nullptr) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t wrote = write(fd, text.data(), text.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(wrote));
    }
    return true;
}

// A scrape sees the old file or the new one, never half of one: written
// beside it under a name the collector ignores, then renamed over it.
// Readable by all, whatever the umask: node_exporter runs as its own user.
bool replace_file(const std::string &file, std::string_view content)
{
    const std::string beside = file + "." + std::to_string(getpid());
    owned_fd written(open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    bool whole = written.fd >= 0 && fchmod(written.fd, 0644) == 0 && write_all(written.fd, content);
    if (written.fd >= 0)
        whole = close(std::exchange(written.fd, -1)) == 0 && whole;
    if (whole && rename(beside.c_str(), file.c_str()) == 0)
        return true;
    (void)unlink(beside.c_str());
    (void)dprintf(2, "kalpex-monitor: cannot write %s\n", file.c_str());
    return false;
}


// A state line is short: one that fills this is not one of ours.
static const size_t longest_state_line = 511;

std::optional<std::vector<std::string>> read_state_line(const std::string &path, const std::vector<uid_t> &owners)
{
    const std::optional<std::string> text = read_regular_file(path, longest_state_line + 1, owners);
    // Half written, or another writer's: as if there were none.
    if (!text || text->empty() || text->size() > longest_state_line || text->back() != '\n' ||
        text->find('\n') != text->size() - 1)
        return std::nullopt;
    std::vector<std::string> words;
    for (const std::string_view word : split(std::string_view(*text).substr(0, text->size() - 1), ' '))
        words.emplace_back(word);
    return words;
}

std::string state_line(const std::vector<std::string> &words)
{
    std::string line;
    for (const std::string &word : words)
        line += (line.empty() ? "" : " ") + word;
    return line + "\n";
}

std::optional<std::string> unit_runtime_folder()
{
    const char *runtime = getenv("RUNTIME_DIRECTORY");
    if (!runtime || !*runtime)
        return std::nullopt;
    return std::string(std::string_view(runtime).substr(0, std::string_view(runtime).find(':')));
}

bool guarded_folder(const std::string &folder, const std::vector<uid_t> &owners)
{
    struct stat status {
    };
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || (status.st_mode & (S_IWGRP | S_IWOTH)))
        return false;
    return std::find(owners.begin(), owners.end(), status.st_uid) != owners.end();
}

// Escaped as systemd escapes paths: /dev/dri/renderD128 becomes
// dev-dri-renderD128.
std::string node_file_name(const std::optional<std::string> &node)
{
    if (!node)
        return ":default"; // no escaped path starts with ':'
    const std::string_view path = std::string_view(*node).substr(std::min(node->find_first_not_of('/'), node->size()));
    std::string name;
    for (size_t at = 0; at < path.size(); ++at) {
        const auto byte = static_cast<unsigned char>(path[at]);
        if (byte == '/') {
            name += '-';
        } else if ((isalnum(byte) && byte < 0x80) || byte == '_' || (byte == '.' && at > 0)) {
            name += path[at];
        } else {
            char escaped[5];
            (void)snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            name += escaped;
        }
    }
    // A path too long for a file name with its longest suffix
    // (".answered.PID") shares the files of all such paths.
    return name.size() > 230 ? ":long" : name;
}
