// SPDX-License-Identifier: MIT
// The plan: which checks run, on which nodes, under which lock, and what
// the kernel had reported about each node's GPU when they were planned.

#include "monitor.h"

#include <algorithm>

// One check per node given; with none, one per render node, or where there
// is none, one of kalpex's own default order.
check_plan plan_checks(const settings &options, const std::vector<std::string> &render_nodes, bool plugin)
{
    const std::vector<std::string> &nodes = options.nodes.empty() ? render_nodes : options.nodes;
    check_plan plan;
    plan.render_nodes = render_nodes.size();
    plan.checks.resize(std::max<size_t>(nodes.size(), 1));
    for (size_t i = 0; i < nodes.size(); ++i)
        plan.checks[i].node = nodes[i];
    const std::optional<std::string> folder = lock_folder(options);
    const std::optional<std::string> states = state_folder();
    for (planned_check &planned : plan.checks) {
        planned.label = planned.node.value_or("default");
        // A path that is not there has nothing to guard, and no file is
        // named after it. A stable path (/dev/dri/by-path/...) shares the
        // lock of the node it leads to.
        const std::optional<std::string> real = planned.node ? real_path(*planned.node) : std::nullopt;
        if (folder && (!planned.node || real))
            planned.lock_path = *folder + "/" + node_file_name(real ? real : planned.node) + ".lock";
        // What the kernel reported is kept under the node's own name too.
        if (states && planned.node)
            planned.state_path = *states + "/" + node_file_name(real.value_or(*planned.node));
        read_kernel_state(planned);
    }
    // The plugin's lines name the node wherever there is one to name.
    plan.name_nodes = options.nodes.size() > 1 || (options.nodes.empty() && !render_nodes.empty()) ||
                      ((plugin || options.gpu) && plan.checks[0].node);
    return plan;
}
