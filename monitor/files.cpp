// SPDX-License-Identifier: MIT
// The file helpers every part of the adapter shares: a file's text, a path
// with its links resolved, a folder's entries, writing all of a text, and
// replacing a file whole.

#include "monitor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

std::optional<std::string> read_text(const std::string &path, size_t most)
{
    const owned_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (ssize_t got = 1; got > 0 && text.size() < most;) {
        got = read(file.fd, buffer, sizeof buffer);
        if (got < 0)
            return std::nullopt;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text.substr(0, most);
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
    DIR *listing = opendir(folder.c_str());
    while (const dirent *entry = listing ? readdir(listing) : nullptr) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    if (listing)
        closedir(listing);
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

