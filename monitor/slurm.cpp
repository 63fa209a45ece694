// SPDX-License-Identifier: MIT
// SLURM's health check, run at once after a kernel event where slurmd runs
// on this machine, so that a node whose GPU failed is drained in seconds.

#include "monitor.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>

static bool slurmd_runs()
{
    for (const std::string &process : folder_entries("/proc")) {
        if (decimal_number(process) && read_text("/proc/" + process + "/comm", 16) == "slurmd\n")
            return true;
    }
    return false;
}

// Where slurmd runs, its health check runs now too, so that the node is
// drained in seconds: the script installed beside the adapter. Under
// systemd as a unit of its own (udev ends whatever its programs leave
// running), elsewhere as a process of its own, and not waited for either
// way.
void run_slurm_health_check()
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
    // Nothing of the event reaches the script, not even in its
    // environment: it gets one of its own, as slurmd gives its programs.
    std::string path_variable = "PATH=/usr/sbin:/usr/bin:/sbin:/bin", program = health_check;
    char *const environment[] = {path_variable.data(), nullptr};
    char *const arguments[] = {program.data(), nullptr};
    const pid_t first = fork();
    if (first == 0) {
        (void)setsid();
        if (fork() == 0) {
            const int null_fd = open("/dev/null", O_RDWR);
            for (int fd = 0; fd < 3 && null_fd >= 0; ++fd)
                dup2(null_fd, fd);
            execve(program.c_str(), arguments, environment);
        }
        _exit(0);
    }
    int status = 0;
    while (first > 0 && waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
}
