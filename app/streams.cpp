// SPDX-License-Identifier: MIT
#include "report.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

// A standard descriptor left closed by the caller would otherwise go to the
// node, and report lines would be written into the device itself.
static bool hold_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        // open() takes the lowest free descriptor, which is this one.
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

int prepare_streams()
{
    if (!hold_standard_descriptors()) {
        report_open_failure("/dev/null");
        return 1;
    }
    // A reader that leaves early must not turn the verdict into a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    return 0;
}
