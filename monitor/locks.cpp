// SPDX-License-Identifier: MIT
// Where the adapter keeps what it shares between runs, and the per-node
// locks that keep the checks of a node apart: the lock and state folders
// and who may own them, the names of a node's files, a lock's record, and
// the process of an earlier check that still holds a node.

#include "monitor.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

// The first folder of systemd's RuntimeDirectory=, or none.
static std::optional<std::string> unit_runtime_folder()
{
    const char *runtime = getenv("RUNTIME_DIRECTORY");
    if (!runtime || !*runtime)
        return std::nullopt;
    return std::string(std::string_view(runtime).substr(0, std::string_view(runtime).find(':')));
}

// A folder nobody else may write, owned by one of owners.
static bool guarded_folder(const std::string &folder, const std::vector<uid_t> &owners)
{
    struct stat status {
    };
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || (status.st_mode & (S_IWGRP | S_IWOTH)))
        return false;
    return std::find(owners.begin(), owners.end(), status.st_uid) != owners.end();
}

// Where the per-node locks live: systemd's RuntimeDirectory=, else /run for
// root and the user's runtime folder for others. Only a folder that is the
// user's own, or root's GPU user's (the unit's folder, which root's checks
// share), and that nobody else may write; without one, checks run
// unguarded.
std::optional<std::string> lock_folder(const settings &options)
{
    const char *user_runtime = getenv("XDG_RUNTIME_DIR");
    std::string folder;
    if (const std::optional<std::string> runtime = unit_runtime_folder())
        folder = *runtime;
    else if (geteuid() == 0)
        folder = "/run/kalpex";
    else if (user_runtime && *user_runtime == '/')
        folder = std::string(user_runtime) + "/kalpex";
    else
        return std::nullopt;
    (void)mkdir(folder.c_str(), 0755);
    const uid_t gpu_user = options.run_as.switch_user ? options.run_as.uid : geteuid();
    return guarded_folder(folder, {geteuid(), gpu_user}) ? std::optional(folder) : std::nullopt;
}

// Where the kernel's reports about the GPUs are kept, for every user's
// checks to read: the unit's runtime folder, else /run/kalpex, where root's
// event handler writes them (the unit's folder there). One of the state's
// writers owns it; root makes it where it is missing.
std::optional<std::string> state_folder()
{
    const std::string folder = unit_runtime_folder().value_or("/run/kalpex");
    if (geteuid() == 0)
        (void)mkdir(folder.c_str(), 0755);
    return guarded_folder(folder, state_writers()) ? std::optional(folder) : std::nullopt;
}

// A node's name for the files kept about it (its lock, what the kernel
// reported), escaped as systemd escapes paths: /dev/dri/renderD128 becomes
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

static lock_record read_record(const std::string &path)
{
    char line[96] = "";
    const owned_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    const ssize_t got = file.fd >= 0 ? read(file.fd, line, sizeof line - 1) : 0;
    line[std::max<ssize_t>(got, 0)] = '\0';
    lock_record record;
    char *end = line;
    record.started = strtoll(end, &end, 10);
    record.stuck_after = strtoll(end, &end, 10);
    record.pid = strtol(end, &end, 10);
    return *end == '\n' ? record : lock_record{}; // none, or half written: as if none yet
}

void write_record(const std::string &path, const lock_record &record)
{
    const owned_fd file(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (file.fd >= 0)
        (void)dprintf(file.fd, "%lld %lld %ld\n", record.started, record.stuck_after, record.pid);
}

// One lock per node, held by the adapter and inherited by its kalpex: a
// kalpex that outlives the adapter (stuck, or the adapter killed) keeps the
// node's lock until it really ends, and a reboot clears /run.
bool take_lock(const settings &options, check &c, lock_record &holder)
{
    if (c.lock_path.empty())
        return true;
    if (c.lock_fd.fd < 0) {
        c.lock_fd.reset(open(c.lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (c.lock_fd.fd < 0)
            return true; // no place for locks: the check runs unguarded
        // Root's checks and the unit's, run as the GPU user, share the
        // node's lock and its record.
        if (options.run_as.switch_user)
            (void)!fchown(c.lock_fd.fd, options.run_as.uid, options.run_as.gid);
    }
    if (flock(c.lock_fd.fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    holder = read_record(c.lock_path);
    return false;
}

// The process of an earlier check that still holds its node: the kalpex it
// recorded while that is there (it leads its check's process group), else
// any process left in that group; 0 where none is (one that left the group,
// or another PID namespace's).
long holder_of(long kalpex)
{
    if (kalpex <= 0 || getpgid(static_cast<pid_t>(kalpex)) == kalpex)
        return kalpex;
    for (const std::string &name : folder_entries("/proc")) {
        const std::optional<long long> pid = decimal_number(name);
        if (pid && *pid > 0 && getpgid(static_cast<pid_t>(*pid)) == kalpex)
            return static_cast<long>(*pid);
    }
    return 0;
}
