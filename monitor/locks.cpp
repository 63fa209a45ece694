// SPDX-License-Identifier: MIT
// The per-node locks that keep the checks of a node apart: their folder
// and who may own it, a lock's record, and the process of an earlier
// check that still holds a node.

#include "monitor.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

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

static lock_record read_record(const std::string &path)
{
    const std::optional<std::vector<std::string>> words = read_state_line(path, {});
    const auto number = [&](size_t at) { return words && words->size() == 3 ? decimal_number((*words)[at]) : std::nullopt; };
    const std::optional<long long> started = number(0), stuck_after = number(1), pid = number(2);
    if (!started || !stuck_after || !pid)
        return {}; // none, or half written: as if none yet
    return {*started, *stuck_after, static_cast<long>(*pid)};
}

void write_record(const std::string &path, const lock_record &record)
{
    const owned_fd file(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
    if (file.fd >= 0)
        (void)write_all(file.fd, state_line({std::to_string(record.started), std::to_string(record.stuck_after),
                                             std::to_string(record.pid)}));
}

// One lock per node, held by the adapter and inherited by its kalpex: a
// kalpex that outlives the adapter (stuck, or the adapter killed) keeps the
// node's lock until it really ends, and a reboot clears /run.
owned_fd open_lock(const settings &options, const planned_check &planned)
{
    if (planned.lock_path.empty())
        return owned_fd();
    owned_fd lock(open(planned.lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    // Root's checks and the unit's, run as the GPU user, share the node's
    // lock and its record.
    if (lock.fd >= 0 && options.run_as.switch_user)
        (void)!fchown(lock.fd, options.run_as.uid, options.run_as.gid);
    return lock;
}

bool take_lock(const owned_fd &lock, const std::string &path, lock_record &holder)
{
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    holder = read_record(path);
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
