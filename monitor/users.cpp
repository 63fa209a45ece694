// SPDX-License-Identifier: MIT
// Who kalpex runs as, and who may write the state the checks share. The
// package's own GPU user, a system user that sysusers.d made in
// /etc/passwd and gave groups of /etc/group, is looked up there, without
// the name services: glibc asks every group service for a user's groups,
// and systemd's, which it loads for that, costs milliseconds on every run.
// Any other user goes through the name services, which may give a local
// user groups of a directory service's too.

#include "monitor.h"

#include <algorithm>
#include <cstdio>
#include <grp.h>
#include <pwd.h>

// A user or group ID as /etc/passwd and /etc/group write it.
static std::optional<unsigned long> id_of(std::string_view text)
{
    const std::optional<long long> id = decimal_number(text);
    if (!id || *id > 0xffffffffLL)
        return std::nullopt;
    return static_cast<unsigned long>(*id);
}

struct local_user {
    uid_t uid;
    gid_t gid;
};

static std::optional<local_user> find_local_user(const std::string &name)
{
    // Read once a run: root's identity and the state's writers both ask.
    static const std::string passwd_file = read_text("/etc/passwd", 16 << 20).value_or("");
    for (const std::string_view line : split(passwd_file, '\n')) {
        const std::vector<std::string_view> fields = split(line, ':');
        if (fields.size() < 4 || fields[0] != name)
            continue;
        const std::optional<unsigned long> uid = id_of(fields[2]), gid = id_of(fields[3]);
        if (uid && gid)
            return local_user{static_cast<uid_t>(*uid), static_cast<gid_t>(*gid)};
    }
    return std::nullopt;
}

// The user's primary group and those of /etc/group that list it.
static std::vector<gid_t> local_groups(const std::string &name, gid_t primary)
{
    std::vector<gid_t> groups = {primary};
    const std::string group_file = read_text("/etc/group", 16 << 20).value_or("");
    for (const std::string_view line : split(group_file, '\n')) {
        const std::vector<std::string_view> fields = split(line, ':');
        const std::optional<unsigned long> gid = fields.size() == 4 ? id_of(fields[2]) : std::nullopt;
        if (!gid || *gid == primary)
            continue;
        const std::vector<std::string_view> members = split(fields[3], ',');
        if (std::find(members.begin(), members.end(), name) != members.end())
            groups.push_back(static_cast<gid_t>(*gid));
    }
    return groups;
}

// Root runs kalpex as the user named, with that user's groups; anyone else
// runs it as themselves.
bool choose_identity(settings &options)
{
    if (geteuid() != 0) {
        const passwd *self = getpwuid(geteuid());
        if (options.user && (!self || *options.user != self->pw_name)) {
            (void)fprintf(stderr, "kalpex-monitor: only root can run kalpex as another user\n");
            return false;
        }
        return true;
    }
    const std::string name = options.user.value_or("kalpex");
    identity &run_as = options.run_as;
    const std::optional<local_user> local = name == "kalpex" ? find_local_user(name) : std::nullopt;
    if (local) {
        run_as = {local->uid != 0, local->uid, local->gid, local_groups(name, local->gid)};
        return true;
    }
    const passwd *entry = getpwnam(name.c_str());
    if (!entry) {
        // The package's user comes with its sysusers.d entry; an install
        // without the package's scripts may not have made it yet.
        options.identity_error = "no user " + name + " to run it as" +
                                 (options.user ? "" : " (make it: systemd-sysusers kalpex.conf)");
        return true;
    }
    run_as = {entry->pw_uid != 0, entry->pw_uid, entry->pw_gid, std::vector<gid_t>(64)};
    int count = 64;
    while (getgrouplist(entry->pw_name, entry->pw_gid, run_as.groups.data(), &count) < 0)
        run_as.groups.resize(static_cast<size_t>(count));
    run_as.groups.resize(static_cast<size_t>(count));
    return true;
}

// Who may write the kernel's reports and the checks' answers: root (the
// event handler, root's checks), the package's GPU user (the unit's checks;
// systemd also gives it what root wrote in the unit's folder when it takes
// the folder over) or the reader itself. Looked up once a run.
std::vector<uid_t> state_writers()
{
    static const std::vector<uid_t> writers = [] {
        std::optional<uid_t> gpu_user;
        if (const std::optional<local_user> local = find_local_user("kalpex"))
            gpu_user = local->uid;
        else if (const passwd *entry = getpwnam("kalpex"))
            gpu_user = entry->pw_uid;
        return std::vector<uid_t>{0, geteuid(), gpu_user.value_or(0)};
    }();
    return writers;
}
