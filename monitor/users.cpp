// SPDX-License-Identifier: MIT
// Who kalpex runs as, and who may write the state the checks share. A
// user in /etc/passwd (the package's GPU user is one) is looked up there,
// with its groups from /etc/group, without the name services: glibc asks
// every group service for a user's groups, and systemd's, which it loads
// for that, costs milliseconds on every run. Other users (a directory
// service's) go through the name services.

#include "monitor.h"

#include <cstdio>
#include <grp.h>
#include <pwd.h>

// The lines of /etc/passwd or /etc/group.
static std::vector<std::string_view> lines_of(std::string_view text)
{
    std::vector<std::string_view> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// A colon-separated line's fields, as /etc/passwd and /etc/group have them.
static std::vector<std::string_view> fields_of(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (size_t at = 0; at <= line.size();) {
        const size_t end = std::min(line.find(':', at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

static std::optional<unsigned long> id_of(std::string_view text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return std::stoul(std::string(text));
}

struct local_user {
    uid_t uid;
    gid_t gid;
};

static std::optional<local_user> find_local_user(const std::string &name)
{
    const std::string passwd_file = read_text("/etc/passwd", 16 << 20).value_or("");
    for (const std::string_view line : lines_of(passwd_file)) {
        const std::vector<std::string_view> fields = fields_of(line);
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
    for (const std::string_view line : lines_of(group_file)) {
        const std::vector<std::string_view> fields = fields_of(line);
        const std::optional<unsigned long> gid = fields.size() == 4 ? id_of(fields[2]) : std::nullopt;
        if (!gid || *gid == primary)
            continue;
        for (size_t at = 0; at <= fields[3].size();) {
            const size_t end = std::min(fields[3].find(',', at), fields[3].size());
            if (fields[3].substr(at, end - at) == name) {
                groups.push_back(static_cast<gid_t>(*gid));
                break;
            }
            at = end + 1;
        }
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
    if (const std::optional<local_user> local = find_local_user(name)) {
        run_as = {local->uid != 0, local->uid, local->gid, local_groups(name, local->gid)};
        return true;
    }
    const passwd *entry = getpwnam(name.c_str());
    if (!entry) {
        options.identity_error = "no user " + name + " to run it as";
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
