// SPDX-License-Identifier: MIT
// The GPUs' checks started at once after a kernel event, through their
// systemd units, and the programs run for that: no shell, and nothing of
// the event on their command lines.

#include "monitor.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>

// Runs a program, no shell, and yields what it wrote to standard output.
std::string run_program(const std::vector<std::string> &arguments)
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
    // systemctl's answers about a few units: far below this.
    std::string text = pid > 0 ? read_all(reading.fd, 1 << 20).value_or("") : "";
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return text;
}

// As sd_booted() tells it: the units exist only where systemd is the init.
bool systemd_runs()
{
    return access("/run/systemd/system", F_OK) == 0;
}

// The answers of one systemctl query, a line for each unit, in order.
static std::vector<std::string> unit_states(const char *query, const std::vector<std::string> &units)
{
    std::vector<std::string> arguments = {"/usr/bin/systemctl", query, "--"};
    arguments.insert(arguments.end(), units.begin(), units.end());
    const std::string answer = run_program(arguments);
    std::vector<std::string> states;
    for (const std::string_view line : split(answer, '\n'))
        states.emplace_back(line);
    states.resize(units.size());
    return states;
}

// The nodes' checks, through their units: those udev started with the GPU
// (their timers are active), and those the operator enabled. Each GPU's
// unit is named by its slot (kalpex@pci-0000:3b:00.0) or, as before, by
// its node (kalpex@renderD128). Restarted, so that the verdict comes from
// a check that began after the event (a plain start would join one
// already running), and not waited for.
void start_checks(const std::vector<std::string> &nodes)
{
    if (nodes.empty() || !systemd_runs())
        return;
    std::vector<std::string> units;
    for (const std::string &node : nodes) {
        for (const std::string &instance : unit_instances(node)) {
            const std::string unit = "kalpex@" + instance + ".service";
            if (std::find(units.begin(), units.end(), unit) == units.end()) {
                units.push_back(unit);
                units.push_back("kalpex@" + instance + ".timer");
            }
        }
    }
    const std::vector<std::string> enabled = unit_states("is-enabled", units);
    const std::vector<std::string> active = unit_states("is-active", units);
    const auto on = [&](size_t unit) {
        return enabled[unit] == "enabled" || enabled[unit] == "enabled-runtime" || active[unit] == "active";
    };
    std::vector<std::string> restart = {"/usr/bin/systemctl", "--no-block", "restart", "--"};
    for (size_t service = 0; service < units.size(); service += 2) {
        if (on(service) || on(service + 1))
            restart.push_back(units[service]);
    }
    if (restart.size() > 4)
        (void)run_program(restart);
}
