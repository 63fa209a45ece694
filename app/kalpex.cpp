// SPDX-License-Identifier: MIT
// kalpex: does headless GPU rendering work through a DRM device node?
// One pass from the command line to the exit status: 0 pass, 1 fail.

#include "../gpu/gpu.h"
#include "command_line.h"
#include "report.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The render node needs no privileges beyond the render group; the primary
// node is the fallback for drivers that have no render node.
static const char *const default_nodes[] = {"/dev/dri/renderD128", "/dev/dri/card0"};

// On success node_path names the node that opened.
static int open_node(run_options &options, int &node_fd)
{
    if (options.node_path) {
        node_fd = open(options.node_path, O_RDWR);
    } else {
        for (const char *candidate : default_nodes) {
            options.node_path = candidate;
            node_fd = open(candidate, O_RDWR);
            if (node_fd >= 0)
                break;
        }
    }
    if (node_fd < 0) {
        report_open_failure(options.node_path);
        return 1;
    }
    return 0;
}

// A failed stage ends the run at once; the process end releases the node,
// the GBM device and the EGL objects.
int main(int argc, char **argv)
{
    if (int status = prepare_streams())
        return status;

    run_options options = scan_command_line(argc, argv);

    int node_fd = -1;
    if (int status = open_node(options, node_fd))
        return status;

    gpu_handles handles;
    if (int status = bring_up(node_fd, handles))
        return status;

    identify_renderer(options.node_path);

    if (int status = probe_readback())
        return status;
    if (int status = judge_renderer(options.require_hw))
        return status;

    tear_down(handles);
    close(node_fd);
    return 0;
}
