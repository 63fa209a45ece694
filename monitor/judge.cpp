// SPDX-License-Identifier: MIT
// The judge: what each run comes to. It sorts kalpex's lines, finds what
// ended the check (kalpex's own verdict, or a bound, a signal, a stuck
// earlier check, a kalpex that could not start), weighs a wedge the kernel
// reported, and names the GPU and why its node did not open. It writes no
// line of its own: lines.cpp, plugin.cpp and metrics.cpp do.

#include "monitor.h"

#include "../app/lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>

// Sorts one stream's lines into said: the first verdict, renderer and node
// lines each have their place, everything else is the rest. Yields the
// stream's last line.
static std::string_view sort_lines(kalpex_lines &said, std::string_view stream)
{
    std::string_view last_line;
    for (const std::string_view line : split(stream, '\n')) {
        if (line.empty())
            continue;
        if (said.verdict.empty() && (starts_with(line, PASS_LINE) || starts_with(line, FAIL_LINE)))
            said.verdict = line;
        else if (said.renderer.empty() && (starts_with(line, RENDERER_LINE) || starts_with(line, VK_DEVICE_LINE)))
            said.renderer = line;
        else if (said.node.empty() && starts_with(line, NODE_LINE))
            said.node = line;
        else
            said.rest.append(line).append("\n");
        last_line = line;
    }
    return last_line;
}

// As ls shows a node: crw-rw---- root:render.
static std::string mode_and_owners(const struct stat &status)
{
    std::string mode = S_ISCHR(status.st_mode) ? "c" : S_ISDIR(status.st_mode) ? "d" : "-";
    for (int shift = 6; shift >= 0; shift -= 3) {
        mode += (status.st_mode >> shift) & 4 ? 'r' : '-';
        mode += (status.st_mode >> shift) & 2 ? 'w' : '-';
        mode += (status.st_mode >> shift) & 1 ? 'x' : '-';
    }
    const passwd *owner = getpwuid(status.st_uid);
    const group *owning = getgrgid(status.st_gid);
    return mode + " " + (owner ? owner->pw_name : std::to_string(status.st_uid)) + ":" +
           (owning ? owning->gr_name : std::to_string(status.st_gid));
}

// Whether the check's user may open the node, and if not, errno: asked as
// that user, in a child, which is given up on after a second (an open can
// stall in a driver). access() answers for the mode, ACLs and the device
// cgroup; an open, for the driver.
static int open_error_for_user(const settings &options, const std::string &path)
{
    const pid_t child = fork();
    if (child == 0) {
        if (options.run_as.switch_user && !drop_privileges(options.run_as))
            _exit(255);
        if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0)
            _exit(errno & 0xff);
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno & 0xff);
    }
    int status = 0;
    for (int waited_ms = 0; child > 0 && waited_ms < 1000; waited_ms += 10) {
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
        (void)usleep(10000);
    }
    if (child > 0)
        (void)kill(child, SIGKILL);
    return -1;
}

// Why kalpex could not open the node: gone, refused to the check's user
// (a missing group, a container without the node's group, a device cgroup
// rule), or anything else. The first is hardware or a driver, the second
// configuration.
static void explain_open(const settings &options, verdict &judged)
{
    struct stat status {
    };
    if (!judged.node)
        return;
    const std::string &path = *judged.node;
    const int error = stat(path.c_str(), &status) != 0 ? errno : open_error_for_user(options, path);
    judged.open_cause = error == ENOENT ? "missing" : error == EACCES || error == EPERM ? "permission" : "other";
    if (error <= 0) {
        judged.open_error = error == 0 ? "it opens now" : "no answer";
        return;
    }
    judged.open_error = strerror(error);
    if (judged.open_cause != "permission")
        return;
    const passwd *self = options.run_as.switch_user ? nullptr : getpwuid(geteuid());
    const std::string user = options.run_as.switch_user ? options.user.value_or("kalpex")
                             : self                     ? self->pw_name
                                                        : std::to_string(geteuid());
    judged.open_error += " for user " + user + " (" + mode_and_owners(status) + ")";
}

// What ended a run where kalpex's verdict does not stand: in this order,
// the first that holds.
static ending ending_of(const planned_check &planned, const run_result &run, int status, bool says, bool says_pass)
{
    if (!planned.applies)
        return ending::no_drm_node;
    if (run.stuck_since)
        return ending::stuck;
    if (run.spawn_error || status == 126 || status == 127)
        return ending::cannot_run;
    if (run.unkillable)
        return ending::unkillable;
    if (run.timed_out)
        return ending::timed_out;
    if (run.terminated_by)
        return ending::terminated;
    if (WIFSIGNALED(run.wait_status))
        return ending::killed;
    if (!((status == 0 && says_pass) || (status == 1 && says && !says_pass)))
        return ending::bad_exit;
    return ending::kalpex;
}

static severity severity_of(const settings &options, ending ended_by, const kalpex_lines &said)
{
    switch (ended_by) {
    case ending::no_drm_node:
        // Asked for alone, GBM checks nothing here: that is no pass.
        return options.apis.size() > 1 ? severity::not_applicable : severity::failure;
    case ending::kalpex:
        if (said.verdict == PASS_LINE "(" HARDWARE_WORD ")")
            return severity::hardware_pass;
        return starts_with(said.verdict, PASS_LINE) ? severity::software_pass : severity::failure;
    case ending::cannot_run:
    case ending::terminated:
        return severity::unknown;
    case ending::stuck:
    case ending::unkillable:
    case ending::timed_out:
    case ending::killed:
    case ending::bad_exit:
        break;
    }
    return severity::failure;
}

verdict judge(const settings &options, const planned_check &planned, const run_result &run)
{
    verdict judged;
    judged.planned = &planned;
    judged.run = &run;
    sort_lines(judged.said, run.out);
    const std::string last_error(sort_lines(judged.said, run.err));

    judged.exit_status = WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : -1;
    judged.signal = WIFSIGNALED(run.wait_status) ? WTERMSIG(run.wait_status) : 0;
    const bool says = !judged.said.verdict.empty();
    judged.ended_by = ending_of(planned, run, judged.exit_status, says, starts_with(judged.said.verdict, PASS_LINE));
    judged.level = severity_of(options, judged.ended_by, judged.said);
    if (judged.ended_by == ending::kalpex && judged.level == severity::failure) {
        const std::string_view stage = std::string_view(judged.said.verdict).substr(std::strlen(FAIL_LINE));
        // The stage less what follows it of the renderer or device.
        const size_t context = std::min(stage.find(" (renderer: "), stage.find(" (device: "));
        judged.kalpex_stage = starts_with(stage, OPEN_STAGE) ? "open" : stage.substr(0, context);
    }
    if (judged.ended_by == ending::cannot_run) {
        judged.cannot_run_why = run.spawn_error.value_or(last_error);
        // The child's last words are in the line now, not again below it.
        const std::string quoted = last_error + "\n";
        std::string &rest = judged.said.rest;
        if (!run.spawn_error && !last_error.empty() && rest.size() >= quoted.size() &&
            rest.compare(rest.size() - quoted.size(), quoted.size(), quoted) == 0)
            rest.erase(rest.size() - quoted.size());
    }

    // The kernel reported the GPU wedged: until a pass in hardware, the
    // check fails, whatever kalpex saw. A wedged GPU whose every ioctl fails
    // still passes on Mesa's software rasteriser.
    if (judged.level != severity::hardware_pass && judged.level != severity::not_applicable) {
        judged.wedge = standing_wedge(planned);
        if (judged.wedge)
            judged.level = severity::failure;
    }

    // The node kalpex checked: the one given, or in kalpex's own default
    // order the one it names. A GPU with no node is the one planned.
    if (planned.nodeless_gpu)
        judged.gpu = planned.nodeless_gpu;
    else if (planned.node)
        judged.node = planned.node;
    else if (!judged.said.node.empty())
        judged.node = judged.said.node.substr(std::strlen(NODE_LINE));
    else if (starts_with(judged.said.verdict, FAIL_LINE OPEN_STAGE))
        judged.node = judged.said.verdict.substr(std::strlen(FAIL_LINE OPEN_STAGE));
    if (judged.kalpex_stage == "open" && !judged.wedge)
        explain_open(options, judged);
    if (judged.node)
        judged.gpu = identify(*judged.node);
    return judged;
}
