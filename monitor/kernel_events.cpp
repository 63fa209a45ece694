// SPDX-License-Identifier: MIT
// What the kernel reports about the GPUs. A DRM driver that cannot recover
// its device sends a change event with WEDGED=METHODS on the device's card
// node (WEDGED=none: a reset brought it back); a GPU that goes away sends
// remove events for its nodes. udev runs the adapter with --kernel-event on
// these: it keeps the report in the state folder and starts the GPUs'
// checks at once, through their units, without waiting for them. Every
// check of a node reads what was kept: after a wedge, only a pass in
// hardware, or the node going away and coming back, shows the GPU works.

#include "monitor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

static bool drm_node_name(std::string_view name)
{
    return numbered(name, "card") || numbered(name, "renderD");
}

// The event's values come from the kernel, and through it from any process
// (TASK= is the blamed process's own name) or from root's synthetic events:
// only a node name and a method list of a fixed form are taken from it, and
// nothing of it reaches a shell or a command line.

// The node an event is about (card1, renderD128), the last part of its
// DEVPATH: /devices/pci0000:00/0000:00:02.0/drm/card1.
static std::optional<std::string> event_node(const char *devpath)
{
    const std::string_view path = devpath ? devpath : "";
    if (path.size() > 512 || !starts_with(path, "/devices/") ||
        path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/:._+-") !=
            std::string_view::npos)
        return std::nullopt;
    const std::string_view name = path.substr(path.rfind('/') + 1);
    return drm_node_name(name) ? std::optional<std::string>(name) : std::nullopt;
}

// WEDGED=: recovery methods, comma-separated (rebind, bus-reset,
// vendor-specific), or none. A later kernel may name a new method: any name
// of lower-case letters, digits and dashes is taken.
static bool method_list(std::string_view methods)
{
    if (methods.empty() || methods.size() > 128)
        return false;
    for (size_t at = 0; at <= methods.size();) {
        const size_t end = std::min(methods.find(',', at), methods.size());
        const std::string_view method = methods.substr(at, end - at);
        if (method.empty() || method.size() > 32 || method[0] < 'a' || method[0] > 'z' ||
            method.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string_view::npos)
            return false;
        at = end + 1;
    }
    return true;
}

// A state file's one line, from one of the state's writers.
static std::optional<std::string> read_state(const std::string &path)
{
    const std::vector<uid_t> writers = state_writers();
    const owned_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {
    };
    if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        std::find(writers.begin(), writers.end(), status.st_uid) == writers.end())
        return std::nullopt;
    char text[512];
    const ssize_t got = read(file.fd, text, sizeof text);
    if (got <= 0 || got == sizeof text || text[got - 1] != '\n')
        return std::nullopt;
    return std::string(text, static_cast<size_t>(got - 1));
}

// A state line's words, and those that are whole numbers.
static std::vector<std::string_view> words_of(std::string_view line)
{
    std::vector<std::string_view> words;
    for (size_t at = 0; at <= line.size();) {
        const size_t end = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

static std::optional<long long> number_of(std::string_view word)
{
    if (word.empty() || word.size() > 18 || word.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return std::stoll(std::string(word));
}

// What the kernel reported, as the event handler keeps it: six numbers and
// two method lists, "-" for one not yet reported.
static std::optional<kernel_record> read_kernel_record(const std::string &path)
{
    const std::optional<std::string> line = read_state(path);
    const std::vector<std::string_view> words = line ? words_of(*line) : std::vector<std::string_view>{};
    if (words.size() != 8)
        return std::nullopt;
    long long numbers[6];
    for (size_t i = 0; i < 6; ++i) {
        const std::optional<long long> number = number_of(words[i]);
        if (!number)
            return std::nullopt;
        numbers[i] = *number;
    }
    std::string methods[2];
    for (size_t i = 0; i < 2; ++i) {
        methods[i] = words[6 + i] == "-" ? "" : std::string(words[6 + i]);
        if (!methods[i].empty() && !method_list(methods[i]))
            return std::nullopt;
    }
    return kernel_record{numbers[0], numbers[1], numbers[2], numbers[3],
                         numbers[4], numbers[5], methods[0], methods[1]};
}

// What the checks answered: two numbers.
static answer_record read_answer(const std::string &path)
{
    const std::optional<std::string> line = read_state(path);
    const std::vector<std::string_view> words = line ? words_of(*line) : std::vector<std::string_view>{};
    const std::optional<long long> seen = words.size() == 2 ? number_of(words[0]) : std::nullopt;
    const std::optional<long long> passed = words.size() == 2 ? number_of(words[1]) : std::nullopt;
    return seen && passed ? answer_record{*seen, *passed} : answer_record{};
}

void read_kernel_state(check &c)
{
    if (c.state_path.empty())
        return;
    c.kernel = read_kernel_record(c.state_path + ".kernel");
    if (c.kernel)
        c.answered = read_answer(c.state_path + ".answered");
}

std::optional<std::string> standing_wedge(const check &c)
{
    if (!c.kernel || c.kernel->wedge_event <= c.answered.passed)
        return std::nullopt;
    return c.kernel->wedge_methods;
}

bool after_kernel_event(const check &c)
{
    return c.kernel && c.kernel->events > c.answered.seen;
}

// A check that passed (in hardware while a wedge stands), on a machine
// with all its GPUs, answers the events before it started.
bool answers_kernel_events(const check &c)
{
    return c.outcome <= severity::software_pass && !c.short_of_gpus;
}

// A check that ran to its end has seen the events before it started.
void record_answer(const check &c)
{
    if (!c.kernel || c.terminated_by)
        return;
    const std::string path = c.state_path + ".answered";
    const size_t slash = path.rfind('/');
    if (access(path.substr(0, slash).c_str(), W_OK) != 0)
        return; // a reader only, such as a monitoring plugin's user
    // Another check of the node may have answered meanwhile.
    answer_record answer = read_answer(path);
    const answer_record before = answer;
    answer.seen = std::max(answer.seen, c.kernel->events);
    if (answers_kernel_events(c))
        answer.passed = std::max(answer.passed, c.kernel->events);
    if (answer.seen != before.seen || answer.passed != before.passed)
        (void)replace_file(path, std::to_string(answer.seen) + " " + std::to_string(answer.passed) + "\n");
}

static std::string state_path(const std::string &folder, const std::string &node)
{
    return folder + "/" + node_file_name(node);
}

// One more event for a node; methods: the WEDGED= report it carries, or
// none for a node that stays while another goes.
static void record_event(const std::string &folder, const std::string &node, time_t now, const char *methods)
{
    const std::string path = state_path(folder, node) + ".kernel";
    kernel_record record = read_kernel_record(path).value_or(kernel_record{});
    record.events += 1;
    record.event_time = now;
    if (methods) {
        record.report = methods;
        record.report_time = now;
        if (record.report == "none") {
            record.resets += 1;
        } else {
            record.wedges += 1;
            record.wedge_event = record.events;
            record.wedge_methods = methods;
        }
    }
    std::string line;
    for (const long long number : {record.events, record.event_time, record.wedge_event, record.wedges,
                                   record.resets, record.report_time})
        line += std::to_string(number) + " ";
    line += (record.report.empty() ? "-" : record.report) + " ";
    line += (record.wedge_methods.empty() ? "-" : record.wedge_methods) + "\n";
    (void)replace_file(path, line);
}

// A node that goes away takes its reports with it: the GPU that comes back
// (a rebind, a bus reset) starts anew.
static void forget(const std::string &folder, const std::string &node)
{
    for (const char *suffix : {".kernel", ".answered"})
        (void)unlink((state_path(folder, node) + suffix).c_str());
}

// The card node's device's nodes: the card itself and its render nodes,
// found through sysfs, since their numbers need not match (card1 and
// renderD128).
static std::vector<std::string> device_nodes(const std::string &card)
{
    std::vector<std::string> nodes = {"/dev/dri/" + card};
    DIR *folder = opendir(("/sys/class/drm/" + card + "/device/drm").c_str());
    while (const dirent *entry = folder ? readdir(folder) : nullptr) {
        if (numbered(entry->d_name, "renderD"))
            nodes.push_back("/dev/dri/" + std::string(entry->d_name));
    }
    if (folder)
        closedir(folder);
    std::sort(nodes.begin() + 1, nodes.end());
    return nodes;
}

// Runs a program, no shell, and yields what it wrote to standard output.
static std::string run_program(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    int out[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0)
        return "";
    owned_fd reading(out[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    (void)close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got = 1; pid > 0 && got > 0;) {
        got = read(reading.fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<size_t>(got));
        else if (got < 0 && errno == EINTR)
            got = 1;
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return text;
}

// As sd_booted() tells it: the units exist only where systemd is the init.
static bool systemd_runs()
{
    return access("/run/systemd/system", F_OK) == 0;
}

// The nodes' checks, through their units, those the operator enabled (the
// service or its timer): restarted, so that the verdict comes from a check
// that began after the event (a plain start would join one already
// running), and not waited for.
static void start_checks(const std::vector<std::string> &nodes)
{
    if (nodes.empty() || !systemd_runs())
        return;
    std::vector<std::string> units;
    for (const std::string &node : nodes) {
        const std::string instance = "kalpex@" + node.substr(node.rfind('/') + 1);
        units.push_back(instance + ".service");
        units.push_back(instance + ".timer");
    }
    std::vector<std::string> query = {"/usr/bin/systemctl", "is-enabled", "--"};
    query.insert(query.end(), units.begin(), units.end());
    const std::string states = run_program(query);
    // is-enabled answers a line for each unit, in order.
    std::vector<bool> enabled;
    for (size_t at = 0; at < states.size();) {
        const size_t end = std::min(states.find('\n', at), states.size());
        const std::string_view state = std::string_view(states).substr(at, end - at);
        enabled.push_back(state == "enabled" || state == "enabled-runtime");
        at = end + 1;
    }
    enabled.resize(units.size());
    std::vector<std::string> restart = {"/usr/bin/systemctl", "--no-block", "restart", "--"};
    for (size_t service = 0; service < units.size(); service += 2) {
        if (enabled[service] || enabled[service + 1])
            restart.push_back(units[service]);
    }
    if (restart.size() > 4)
        (void)run_program(restart);
}

static bool slurmd_runs()
{
    bool found = false;
    DIR *processes = opendir("/proc");
    while (const dirent *entry = processes && !found ? readdir(processes) : nullptr) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        const owned_fd comm(
            open(("/proc/" + std::string(entry->d_name) + "/comm").c_str(), O_RDONLY | O_CLOEXEC));
        char name[16] = "";
        found = comm.fd >= 0 && read(comm.fd, name, sizeof name) == 7 && memcmp(name, "slurmd\n", 7) == 0;
    }
    if (processes)
        closedir(processes);
    return found;
}

// Where slurmd runs, its health check runs now too, so that the node is
// drained in seconds: the script installed beside the adapter. Under
// systemd as a unit of its own (udev ends whatever its programs leave
// running), elsewhere as a process of its own, and not waited for either
// way.
static void run_slurm_health_check()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0 || !slurmd_runs())
        return;
    const std::string own = std::string(self, static_cast<size_t>(length));
    const std::string health_check = own.substr(0, own.rfind('/')) + "/slurm-health-check";
    if (access(health_check.c_str(), X_OK) != 0)
        return;
    if (systemd_runs()) {
        (void)run_program({"/usr/bin/systemd-run", "--no-block", "--quiet", "--collect",
                           "--description=kalpex: SLURM health check after a kernel GPU event", "--",
                           health_check});
        return;
    }
    // Nothing of the event reaches the script, not even in its environment.
    for (const char *name : {"ACTION", "DEVPATH", "DEVNAME", "DEVTYPE", "SUBSYSTEM", "SEQNUM", "MAJOR",
                             "MINOR", "WEDGED", "PID", "TASK"})
        (void)unsetenv(name);
    const pid_t first = fork();
    if (first == 0) {
        (void)setsid();
        if (fork() == 0) {
            const int null_fd = open("/dev/null", O_RDWR);
            for (int fd = 0; fd < 3 && null_fd >= 0; ++fd)
                dup2(null_fd, fd);
            execl(health_check.c_str(), health_check.c_str(), static_cast<char *>(nullptr));
        }
        _exit(0);
    }
    int status = 0;
    while (first > 0 && waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
}

int handle_kernel_event()
{
    const char *action = getenv("ACTION");
    const char *subsystem = getenv("SUBSYSTEM");
    const char *wedged = getenv("WEDGED");
    const char *devpath = getenv("DEVPATH");
    const std::optional<std::string> name = event_node(devpath);
    const bool change = action && strcmp(action, "change") == 0;
    const bool removal = action && strcmp(action, "remove") == 0;
    // Root's synthetic events (SYNTH_UUID=, and their values as
    // SYNTH_ARG_*, never as WEDGED=) report nothing: only the kernel reports
    // a wedge, and a node that goes away.
    if (getenv("SYNTH_UUID") || !subsystem || strcmp(subsystem, "drm") != 0 || !name ||
        !(change || removal) || (change && !(numbered(*name, "card") && wedged && method_list(wedged)))) {
        (void)fprintf(stderr,
                      "kalpex-monitor: --kernel-event takes udev's change event with WEDGED= of a DRM card "
                      "node, or the removal of a DRM node; this one is left alone\n");
        return 2;
    }
    const std::optional<std::string> folder = state_folder();
    if (!folder) {
        (void)fprintf(stderr, "kalpex-monitor: no state folder for the kernel's report (/run/kalpex)\n");
        return 1;
    }
    // udev handles the events of different devices side by side, and each
    // may count an event for the same node.
    const owned_fd guard(
        open((*folder + "/:kernel-events.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (guard.fd >= 0)
        (void)flock(guard.fd, LOCK_EX);
    const time_t now = time(nullptr);
    std::vector<std::string> checked;
    if (change) {
        checked = device_nodes(*name);
        for (const std::string &node : checked)
            record_event(*folder, node, now, wedged);
    } else {
        // The GPUs that remain: a count that falls short of --expect fails
        // their checks at once. The GPU's other nodes go too, one event
        // after the other (a node gone from sysfs, or one beside the node
        // that went); were its checks started now, one could begin while
        // its node is away and take the place of the check that the node's
        // return starts.
        const std::string gone = "/dev/dri/" + *name;
        const std::string gone_from = "/sys" + std::string(devpath, std::string_view(devpath).rfind('/'));
        forget(*folder, gone);
        for (const std::string &node : find_render_nodes()) {
            char *real = realpath(("/sys/class/drm" + node.substr(node.rfind('/'))).c_str(), nullptr);
            const std::string_view device = real ? std::string_view(real) : "";
            const bool remains = real && device.substr(0, device.rfind('/')) != gone_from;
            free(real);
            if (node != gone && remains) {
                record_event(*folder, node, now, nullptr);
                checked.push_back(node);
            }
        }
    }
    start_checks(checked);
    run_slurm_health_check();
    return 0;
}
