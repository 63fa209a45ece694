// SPDX-License-Identifier: MIT
// Judges each run and writes the lines monitors read, with the exit status.
// Every line the adapter writes about a check is written here; plugin.cpp
// gives the same lines in the plugin's form.

#include "monitor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>

// Sorts one stream's lines: the first PASS or FAIL line decides, the first
// renderer line follows it, everything else is the rest. Yields the
// stream's last line.
static std::string_view sort_lines(check &c, std::string_view stream)
{
    std::string_view last_line;
    while (!stream.empty()) {
        const size_t newline = std::min(stream.find('\n'), stream.size());
        const std::string_view line = stream.substr(0, newline);
        stream.remove_prefix(std::min(newline + 1, stream.size()));
        if (line.empty())
            continue;
        if (c.verdict.empty() && (starts_with(line, "kalpex: PASS ") || starts_with(line, "kalpex: FAIL ")))
            c.verdict = line;
        else if (c.renderer.empty() && starts_with(line, "kalpex: GL_RENDERER="))
            c.renderer = line;
        else
            c.rest.append(line).append("\n");
        last_line = line;
    }
    return last_line;
}

// The stage a FAIL line names, as the metrics label it: "open" for a node
// that did not open, else the text up to the renderer.
static std::string stage_of(std::string_view verdict)
{
    const std::string_view stage = verdict.substr(std::strlen("kalpex: FAIL "));
    if (starts_with(stage, "open "))
        return "open";
    return std::string(stage.substr(0, stage.find(" (renderer: ")));
}

static std::string signal_name(int signal_number)
{
    const char *name = sigabbrev_np(signal_number);
    return name ? std::string("SIG") + name : "SIGunknown signal";
}

static std::string utc_time(time_t when)
{
    char text[32];
    tm utc{};
    (void)strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&when, &utc));
    return text;
}

// The line of an earlier check of the node that still holds it, naming a
// process that is there.
static std::string stuck_line(const check &c)
{
    std::string line = "kalpex: FAIL check stuck since " + utc_time(c.stuck_since) + " (process ";
    const std::string kalpex = std::to_string(c.stuck_kalpex);
    if (c.stuck_holder == c.stuck_kalpex)
        return line + kalpex + ")";
    if (c.stuck_holder)
        return line + std::to_string(c.stuck_holder) + ", left by process " + kalpex + ")";
    return line + kalpex + " has ended, a process it left holds the lock)";
}

// The node kalpex checked: the one given, or in kalpex's own default
// order the one it names.
static std::optional<std::string> checked_node(const check &c)
{
    if (c.node)
        return c.node;
    for (const std::string_view prefix : {"kalpex: node=", "kalpex: FAIL open "}) {
        const std::string_view text = starts_with(c.verdict, prefix) ? c.verdict : c.rest;
        const size_t at = starts_with(text, prefix) ? 0 : text.find("\n" + std::string(prefix));
        if (at != std::string_view::npos) {
            const std::string_view line = text.substr(at + (at ? 1 : 0) + prefix.size());
            return std::string(line.substr(0, line.find('\n')));
        }
    }
    return std::nullopt;
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
static void explain_open(const settings &options, check &c)
{
    const std::optional<std::string> path = checked_node(c);
    struct stat status {
    };
    if (!path)
        return;
    const int error = stat(path->c_str(), &status) != 0 ? errno : open_error_for_user(options, *path);
    c.open_cause = error == ENOENT ? "missing" : error == EACCES || error == EPERM ? "permission" : "other";
    if (error <= 0) {
        c.open_error = error == 0 ? "it opens now" : "no answer";
        return;
    }
    c.open_error = strerror(error);
    if (c.open_cause != "permission")
        return;
    const passwd *self = options.run_as.switch_user ? nullptr : getpwuid(geteuid());
    const std::string user = options.run_as.switch_user ? options.user.value_or("kalpex")
                             : self                     ? self->pw_name
                                                        : std::to_string(geteuid());
    c.open_error += " for user " + user + " (" + mode_and_owners(status) + ")";
}

void judge(const settings &options, check &c)
{
    sort_lines(c, c.out);
    const std::string last_error(sort_lines(c, c.err));

    const std::string within = "no result within " + std::to_string(options.bound) + " s";
    const int status = WIFEXITED(c.wait_status) ? WEXITSTATUS(c.wait_status) : -1;
    const bool says = !c.verdict.empty();
    const bool says_pass = starts_with(c.verdict, "kalpex: PASS ");
    // An outcome kalpex could not report itself: its stage and line.
    std::optional<std::string> stage;
    std::string line;

    if (c.stuck_since) {
        stage = "check stuck";
        line = stuck_line(c);
    } else if (c.spawn_error || status == 126 || status == 127) {
        stage = "cannot run";
        line = "kalpex: UNKNOWN cannot run " + options.kalpex + ": " + c.spawn_error.value_or(last_error);
        // The child's last words are in the line now, not again below it.
        const std::string quoted = last_error + "\n";
        if (!c.spawn_error && !last_error.empty() && c.rest.size() >= quoted.size() &&
            c.rest.compare(c.rest.size() - quoted.size(), quoted.size(), quoted) == 0)
            c.rest.erase(c.rest.size() - quoted.size());
    } else if (c.unkillable) {
        stage = within;
        line = "kalpex: FAIL " + within + " (process " + std::to_string(c.pid) + " could not be ended)";
    } else if (c.timed_out) {
        stage = within;
        line = "kalpex: FAIL " + within;
    } else if (c.terminated_by) {
        stage = "terminated";
        line = "kalpex: UNKNOWN check terminated by " + signal_name(c.terminated_by);
    } else if (WIFSIGNALED(c.wait_status)) {
        stage = "killed by " + signal_name(WTERMSIG(c.wait_status));
        line = "kalpex: FAIL " + *stage;
    } else if (!((status == 0 && says_pass) || (status == 1 && says && !says_pass))) {
        stage = "exit status " + std::to_string(status);
        line = "kalpex: FAIL " + *stage + (says ? "" : " with no verdict line");
    } else if (!says_pass) {
        c.stage = stage_of(c.verdict);
    }
    if (stage) {
        // A verdict line kalpex wrote before it died stays among the rest.
        if (says)
            c.rest.insert(0, c.verdict + "\n");
        c.verdict = line;
        c.stage = *stage;
    }

    // The kernel reported the GPU wedged: until a pass in hardware, the
    // check fails, whatever kalpex saw. A wedged GPU whose every ioctl fails
    // still passes on Mesa's software rasteriser.
    const std::optional<std::string> methods = standing_wedge(c);
    if (methods && c.verdict != "kalpex: PASS (HARDWARE)") {
        if (!c.verdict.empty())
            c.rest.insert(0, c.verdict + "\n");
        c.verdict = "kalpex: FAIL device wedged (WEDGED=" + *methods + ") on " + c.label;
        c.stage = "device wedged";
    }

    if (c.stage == "open")
        explain_open(options, c);
    if (const std::optional<std::string> node = checked_node(c))
        c.gpu = identify(*node);

    if (c.verdict == "kalpex: PASS (HARDWARE)")
        c.outcome = severity::hardware_pass;
    else if (starts_with(c.verdict, "kalpex: PASS "))
        c.outcome = severity::software_pass;
    else if (starts_with(c.verdict, "kalpex: UNKNOWN "))
        c.outcome = severity::unknown;
    else
        c.outcome = severity::failure;
}

// The lines monitors read, worst first, and what follows them on standard
// error; yields the worst outcome.
severity report_lines(const std::vector<check> &checks, bool name_nodes, const std::string &machine_failure,
                      std::string &out, std::string &err)
{
    // Worst first; checks of the same severity keep the node order.
    std::vector<const check *> order;
    order.reserve(checks.size());
    for (const check &c : checks)
        order.push_back(&c);
    std::stable_sort(order.begin(), order.end(),
                     [](const check *left, const check *right) { return left->outcome > right->outcome; });

    severity worst = severity::hardware_pass;
    if (!machine_failure.empty()) {
        out += machine_failure + "\n";
        worst = severity::failure;
    }
    for (const check *c : order) {
        worst = std::max(worst, c->outcome);
        out += c->verdict;
        // Several nodes: each line says which; a line that ends with the
        // node already (FAIL open) is left as it is. Beside the node, its
        // GPU's slot and driver, and why it did not open.
        const std::string named = " " + c->label;
        const bool names_it = c->verdict.size() >= named.size() &&
                              c->verdict.compare(c->verdict.size() - named.size(), named.size(), named) == 0;
        if (name_nodes && !names_it)
            out += " on " + c->label;
        if ((name_nodes || names_it) && c->gpu)
            out += identity_text(*c->gpu);
        if (!c->open_error.empty())
            out += ": " + c->open_error;
        out += "\n";
        if (!name_nodes && !c->renderer.empty())
            out += c->renderer + "\n";
    }
    // Each node's part begins with its node line, the renderer beneath it,
    // as kalpex wrote them; a verdict of kalpex's that the adapter's own
    // line took the place of follows.
    for (const check &c : checks) {
        size_t node_at = starts_with(c.rest, "kalpex: node=") ? 0 : c.rest.find("\nkalpex: node=");
        node_at += node_at && node_at != std::string::npos ? 1 : 0;
        const size_t node_end = node_at == std::string::npos ? 0 : c.rest.find('\n', node_at) + 1;
        if (node_end)
            err.append(c.rest, node_at, node_end - node_at);
        if (name_nodes && !c.renderer.empty())
            err += c.renderer + "\n";
        err.append(c.rest, 0, node_end ? node_at : std::string::npos);
        if (node_end)
            err.append(c.rest, node_end, std::string::npos);
    }
    return worst;
}

std::string short_of_gpus_line(unsigned expected, size_t found, const std::vector<gpu_identity> &displays)
{
    std::string line = "kalpex: FAIL expected " + std::to_string(expected) + " render nodes, found " +
                       std::to_string(found);
    std::string without;
    for (const gpu_identity &gpu : displays)
        without += (without.empty() ? "" : "; ") + gpu.pci_address + ": " + driver_text(gpu);
    return without.empty() ? line : line + " (" + without + ")";
}

int report(const std::vector<check> &checks, bool name_nodes, const std::string &machine_failure)
{
    std::string out, err;
    const severity worst = report_lines(checks, name_nodes, machine_failure, out, err);
    // A reader gone early changes nothing: the exit status still answers.
    (void)write_all(1, out);
    (void)write_all(2, err);
    if (worst == severity::failure)
        return 1;
    return worst == severity::unknown ? 2 : 0;
}
