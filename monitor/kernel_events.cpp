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

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>

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
    owned_fd guard(open((*folder + "/:kernel-events.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (guard.fd >= 0)
        (void)flock(guard.fd, LOCK_EX);
    const time_t now = time(nullptr);
    std::vector<std::string> checked;
    if (change) {
        // The card's render nodes are found through sysfs: their numbers
        // need not match (card1 and renderD128).
        checked = card_render_nodes(*name);
        checked.insert(checked.begin(), "/dev/dri/" + *name);
        for (const std::string &node : checked)
            record_event(*folder, node, now, wedged);
    } else {
        const std::string gone = "/dev/dri/" + *name;
        forget(*folder, gone);
        // A GPU that goes sends two removals, its card's and then its
        // render node's: only the render node's changes the count that
        // --expect holds the remaining GPUs to, so only it restarts their
        // checks, once per GPU gone.
        if (!numbered(*name, "renderD"))
            return 0;
        // The GPU's own other nodes, gone or going one event after the
        // other, are left out: a check begun while its node is away could
        // take the place of the one that the node's return starts.
        const std::string_view path = devpath;
        const std::string gone_device = "/sys" + std::string(path.substr(0, path.rfind("/drm/")));
        for (const std::string &node : find_render_nodes()) {
            const std::optional<std::string> device = node_device(node.substr(node.rfind('/') + 1));
            if (node != gone && device && *device != gone_device) {
                record_event(*folder, node, now, nullptr);
                checked.push_back(node);
            }
        }
    }
    // What starts the checks (systemctl, the scan for slurmd) runs after
    // the state is kept, without holding up the other events' handlers.
    guard.reset();
    start_checks(checked);
    run_slurm_health_check();
    return 0;
}
