// SPDX-License-Identifier: MIT
// kalpex-monitor: checks every GPU's node with kalpex, in parallel and each
// under a bound, and says what monitors read.
//
// usage: kalpex-monitor [--timeout=SECONDS] [--textfile=FILE] [--expect=N] [--user=NAME]
//                       [--] [KALPEX ARGUMENTS...]
//        kalpex-monitor --publish=SOURCE FILE
//   --timeout   bound on each check, in whole seconds (default 60); a check
//               still running then gets SIGTERM, 5 s later SIGKILL, and 1 s
//               after that it is given up on as stuck in the kernel
//   --textfile  also write Prometheus metrics to FILE, for node_exporter's
//               textfile collector; skipped when FILE's folder does not exist
//   --expect    the machine must have at least N render nodes
//   --user      started by root, run kalpex as this user (default kalpex, the
//               package's GPU user; root only when named); others run it as
//               themselves
//   --publish   root's step after an unprivileged check: copy the metrics it
//               wrote to SOURCE into FILE, whole, or remove FILE when the
//               check left none
// KALPEX names the kalpex to run (default /usr/bin/kalpex). Each kalpex
// argument other than --require-hw is a node to check; with none, every
// render node under /dev/dri is checked, or, where there is none, kalpex's
// own default node.
//
// Standard output leads with the line that decides: the worst check's FAIL
// or PASS line (naming its node when several were checked), then the other
// checks' lines; everything else kalpex and its driver wrote follows on
// standard error. Exit status: 0 every check passed; 1 a check failed (a
// FAIL line, no result in time, kalpex killed by a signal, a check of the
// node still stuck, fewer render nodes than expected); 2 kalpex could not be
// run, which monitors read as Unknown.

#include "monitor.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

static const unsigned longest_bound = 24 * 3600;

static bool whole_number(const char *digits, unsigned highest, unsigned &value)
{
    if (!*digits || strlen(digits) > 9 || strspn(digits, "0123456789") != strlen(digits))
        return false;
    value = static_cast<unsigned>(strtoul(digits, nullptr, 10));
    return value > 0 && value <= highest;
}

// Options come first; the first other argument, or what follows "--", is
// kalpex's. Yields the index of kalpex's first argument, or -1.
static int scan_options(int argc, char **argv, settings &options, const char *&user)
{
    int i = 1;
    for (; i < argc; ++i) {
        const char *argument = argv[i];
        if (strcmp(argument, "--") == 0)
            return i + 1;
        if (strncmp(argument, "--timeout=", 10) == 0) {
            if (!whole_number(argument + 10, longest_bound, options.bound)) {
                (void)fprintf(stderr, "kalpex-monitor: --timeout takes a whole number of seconds above 0\n");
                return -1;
            }
        } else if (strncmp(argument, "--expect=", 9) == 0) {
            if (!whole_number(argument + 9, 4096, options.expected_nodes)) {
                (void)fprintf(stderr,
                              "kalpex-monitor: --expect takes a whole number of render nodes above 0\n");
                return -1;
            }
        } else if (strncmp(argument, "--textfile=", 11) == 0) {
            options.textfile = argument + 11;
        } else if (strncmp(argument, "--user=", 7) == 0) {
            user = argument + 7;
        } else {
            break;
        }
    }
    return i;
}

static bool is_render_node(const char *name)
{
    return strncmp(name, "renderD", 7) == 0 && name[7] && strspn(name + 7, "0123456789") == strlen(name + 7);
}

// In minor number order: renderD128 before renderD1000 would be, were there one.
static int by_minor(const void *a, const void *b)
{
    const char *left = *static_cast<char *const *>(a);
    const char *right = *static_cast<char *const *>(b);
    const size_t left_length = strlen(left), right_length = strlen(right);
    if (left_length != right_length)
        return left_length < right_length ? -1 : 1;
    return strcmp(left, right);
}

// The render nodes under /dev/dri, as paths; yields how many.
static size_t find_render_nodes(char **&paths)
{
    paths = nullptr;
    size_t count = 0;
    DIR *folder = opendir("/dev/dri");
    if (!folder)
        return 0;
    while (const dirent *entry = readdir(folder)) {
        if (!is_render_node(entry->d_name))
            continue;
        auto **grown =
            static_cast<char **>(realloc(static_cast<void *>(paths), (count + 1) * sizeof(char *)));
        if (!grown)
            break;
        paths = grown;
        text path;
        append_format(path, "/dev/dri/%s", entry->d_name);
        paths[count++] = path.data;
    }
    closedir(folder);
    if (count)
        qsort(static_cast<void *>(paths), count, sizeof(char *), by_minor);
    return count;
}

// Where the per-node locks live: systemd's RuntimeDirectory=, else /run for
// root and the user's runtime folder for others. Only a folder that is the
// user's own, or root's GPU user's (the unit's folder, which root's checks
// share), and that nobody else may write; without one, checks run
// unguarded.
static const char *lock_folder(const settings &options)
{
    static text folder;
    const char *runtime = getenv("RUNTIME_DIRECTORY");
    if (runtime && *runtime) {
        append(folder, runtime, strcspn(runtime, ":"));
    } else if (geteuid() == 0) {
        append_format(folder, "/run/kalpex");
    } else if (const char *user_runtime = getenv("XDG_RUNTIME_DIR"); user_runtime && *user_runtime == '/') {
        append_format(folder, "%s/kalpex", user_runtime);
    } else {
        return nullptr;
    }
    (void)mkdir(folder.data, 0755);
    struct stat status {
    };
    if (lstat(folder.data, &status) != 0 || !S_ISDIR(status.st_mode) ||
        (status.st_mode & (S_IWGRP | S_IWOTH)))
        return nullptr;
    const bool owned =
        status.st_uid == geteuid() || (options.run_as.switch_user && status.st_uid == options.run_as.uid);
    if (!owned)
        return nullptr;
    return folder.data;
}

// The node's lock file, named as systemd escapes paths:
// /dev/dri/renderD128 becomes dev-dri-renderD128.lock.
static const char *lock_path(const char *folder, const char *node)
{
    if (!folder)
        return nullptr;
    text path;
    append_format(path, "%s/", folder);
    if (!node) {
        append_format(path, ":default.lock"); // no escaped path starts with ':'
        return path.data;
    }
    while (*node == '/')
        ++node;
    for (const char *at = node; *at; ++at) {
        const unsigned char byte = static_cast<unsigned char>(*at);
        if (byte == '/')
            append(path, "-", 1);
        else if ((isalnum(byte) && byte < 0x80) || byte == '_' || (byte == '.' && at != node))
            append(path, at, 1);
        else
            append_format(path, "\\x%02x", byte);
    }
    append_format(path, ".lock");
    // A path too long for one file name shares the guard of all such paths.
    if (path.size - strlen(folder) > 250) {
        path.size = 0;
        append_format(path, "%s/:long.lock", folder);
    }
    return path.data;
}

// Root runs kalpex as the user named, with that user's groups; anyone else
// runs it as themselves. Yields false where the adapter cannot go on.
static bool choose_identity(const char *user, settings &options)
{
    if (geteuid() != 0) {
        const passwd *self = getpwuid(geteuid());
        if (user && (!self || strcmp(user, self->pw_name) != 0)) {
            (void)fprintf(stderr, "kalpex-monitor: only root can run kalpex as another user\n");
            return false;
        }
        return true;
    }
    static text error;
    const char *name = user ? user : "kalpex";
    const passwd *entry = getpwnam(name);
    if (!entry) {
        append_format(error, "no user %s to run it as", name);
        options.identity_error = error.data;
        return true;
    }
    identity &run_as = options.run_as;
    run_as.switch_user = entry->pw_uid != 0;
    run_as.uid = entry->pw_uid;
    run_as.gid = entry->pw_gid;
    run_as.group_count = sizeof run_as.groups / sizeof run_as.groups[0];
    if (getgrouplist(entry->pw_name, entry->pw_gid, run_as.groups, &run_as.group_count) < 0) {
        append_format(error, "user %s is in too many groups", name);
        options.identity_error = error.data;
    }
    return true;
}

int main(int argc, char **argv)
{
    // A reader that leaves early must not turn the verdict into a signal.
    (void)signal(SIGPIPE, SIG_IGN);

    if (argc == 3 && strncmp(argv[1], "--publish=", 10) == 0)
        return publish_metrics(argv[1] + 10, argv[2]);

    settings options;
    if (const char *kalpex = getenv("KALPEX"); kalpex && *kalpex)
        options.kalpex = kalpex;
    const char *user = nullptr;
    const int first = scan_options(argc, argv, options, user);
    if (first < 0 || !choose_identity(user, options))
        return 2;

    size_t given = 0;
    for (int i = first; i < argc; ++i) {
        if (strcmp(argv[i], "--require-hw") == 0)
            options.require_hw = true;
        else
            ++given;
    }
    char **render_nodes = nullptr;
    const size_t found = find_render_nodes(render_nodes);

    const size_t count = given ? given : (found ? found : 1);
    auto *checks = static_cast<check *>(calloc(count, sizeof(check)));
    if (!checks)
        return 2;
    const char *folder = lock_folder(options);
    for (size_t i = 0, next = static_cast<size_t>(first); i < count; ++i) {
        checks[i] = check{};
        if (given) {
            while (strcmp(argv[next], "--require-hw") == 0)
                ++next;
            checks[i].node = argv[next++];
        } else if (found) {
            checks[i].node = render_nodes[i];
        }
        checks[i].label = checks[i].node ? checks[i].node : "default";
        checks[i].lock_path = lock_path(folder, checks[i].node);
    }

    run_checks(options, checks, count);
    for (size_t i = 0; i < count; ++i)
        judge(options, checks[i]);

    text machine_failure;
    if (options.expected_nodes && found < options.expected_nodes)
        append_format(machine_failure, "kalpex: FAIL expected %u render nodes, found %zu",
                      options.expected_nodes, found);
    // Lines name their node wherever the adapter chose the nodes or checked several.
    const bool name_nodes = given > 1 || (!given && found > 0);
    const int status = report(checks, count, name_nodes, machine_failure);
    write_metrics(options, checks, count, found);
    return status;
}
