// SPDX-License-Identifier: MIT
// The GPUs' checks started at once after a kernel event, through their
// systemd units, and the programs run for that: no shell, and nothing of
// the event on their command lines.

#include "monitor.h"

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
bool systemd_runs()
{
    return access("/run/systemd/system", F_OK) == 0;
}

// The nodes' checks, through their units, those the operator enabled (the
// service or its timer): restarted, so that the verdict comes from a check
// that began after the event (a plain start would join one already
// running), and not waited for.
void start_checks(const std::vector<std::string> &nodes)
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
