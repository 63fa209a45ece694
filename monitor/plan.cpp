// SPDX-License-Identifier: MIT
// The plan: which checks run, on which GPUs and paths, under which lock,
// and what the kernel had reported about each node's GPU when they were
// planned.

#include "monitor.h"

#include <algorithm>

bool renders_here(const gpu_identity &gpu)
{
    // A GPU handed to a virtual machine is not this machine's to render on.
    return !gpu.driver.empty() && gpu.driver != "vfio-pci" && gpu.driver != "pci-stub" && !management_display(gpu);
}

// Where the unit's one node names a GPU with no render node by its slot's
// stable path (/dev/dri/by-path/pci-0000:c1:00.0-render, not there): that
// GPU's place among them.
static std::optional<size_t> nodeless_gpu_named(const std::vector<std::string> &nodes,
                                                const std::vector<gpu_identity> &nodeless)
{
    const std::string_view by_path = "/dev/dri/by-path/pci-", render = "-render";
    const std::string_view given = nodes.size() == 1 ? std::string_view(nodes[0]) : "";
    if (!starts_with(given, by_path) || given.size() <= by_path.size() + render.size() ||
        access(nodes[0].c_str(), F_OK) == 0)
        return std::nullopt;
    const std::string_view slot = given.substr(by_path.size(), given.size() - by_path.size() - render.size());
    for (size_t place = 0; place < nodeless.size(); ++place) {
        if (nodeless[place].pci_address == slot)
            return place;
    }
    return std::nullopt;
}

// The GPUs to check: each node given; with none, each render node and each
// GPU that has a driver but no render node (NVIDIA's without nvidia-drm),
// or where there is neither, one of each probe's own choice. Every GPU is
// checked on every path asked for.
check_plan plan_checks(const settings &options, const std::vector<std::string> &render_nodes,
                       const std::vector<gpu_identity> &displays, bool plugin)
{
    std::vector<std::string> nodes = options.nodes.empty() ? render_nodes : options.nodes;
    std::vector<gpu_identity> nodeless;
    std::copy_if(displays.begin(), displays.end(), std::back_inserter(nodeless), renders_here);
    check_plan plan;
    plan.render_nodes = render_nodes.size();
    plan.gpus = render_nodes.size() + nodeless.size();
    // The places of the GPUs with no render node that are checked: all of
    // them where no node is given; else none, but for a GPU that its unit
    // names by its slot.
    std::vector<size_t> nodeless_checked;
    if (options.nodes.empty()) {
        for (size_t place = 0; place < nodeless.size(); ++place)
            nodeless_checked.push_back(place);
    } else if (const std::optional<size_t> place = options.gpu ? nodeless_gpu_named(options.nodes, nodeless)
                                                                : std::nullopt) {
        nodes.clear();
        nodeless_checked.push_back(*place);
    }
    plan.name_apis = options.apis.size() > 1 || options.apis[0] != probe_api::gbm;
    const size_t targets = std::max<size_t>(nodes.size() + nodeless_checked.size(), 1);
    for (size_t target = 0; target < targets; ++target) {
        for (const probe_api api : options.apis) {
            planned_check &planned = plan.checks.emplace_back();
            planned.api = api;
            planned.first_of_gpu = api == options.apis[0];
            if (target < nodes.size()) {
                planned.node = nodes[target];
            } else if (target - nodes.size() < nodeless_checked.size()) {
                // EGL tells no slot of a device without a DRM file: the
                // devices it lists first are taken for these GPUs, in
                // slot order, as NVIDIA's driver lists its own first.
                const size_t place = nodeless_checked[target - nodes.size()];
                planned.nodeless_gpu = nodeless[place];
                planned.applies = api != probe_api::gbm;
                if (api == probe_api::vulkan)
                    planned.node = nodeless[place].pci_address;
                else if (api == probe_api::egl_device)
                    planned.node = std::to_string(place);
            }
            planned.label = planned.nodeless_gpu ? planned.nodeless_gpu->pci_address : planned.node.value_or("default");
        }
    }
    const std::optional<std::string> folder = lock_folder(options);
    const std::optional<std::string> states = state_folder();
    for (planned_check &planned : plan.checks) {
        // A path that is not there has nothing to guard, and no file is
        // named after it. A stable path (/dev/dri/by-path/...) shares the
        // lock of the node it leads to; a GPU with no node is guarded by
        // its slot. Each path has its own lock: one GPU's paths run at once.
        const std::optional<std::string> real = planned.node ? real_path(*planned.node) : std::nullopt;
        const std::optional<std::string> guarded = planned.nodeless_gpu ? planned.label : real ? real : planned.node;
        const std::string path_suffix = planned.api == probe_api::gbm ? "" : std::string("-") + api_name(planned.api);
        if (folder && (!planned.node || real || planned.nodeless_gpu))
            planned.lock_path = *folder + "/" + node_file_name(guarded) + path_suffix + ".lock";
        // What the kernel reported is kept under the node's own name too;
        // it reports on nodes only.
        if (states && planned.node && !planned.nodeless_gpu)
            planned.state_path = *states + "/" + node_file_name(real.value_or(*planned.node));
        read_kernel_state(planned);
    }
    // The plugin's lines name the node wherever there is one to name.
    plan.name_nodes = options.nodes.size() > 1 || (options.nodes.empty() && plan.gpus > 0) ||
                      ((plugin || options.gpu) && (plan.checks[0].node || plan.checks[0].nodeless_gpu));
    return plan;
}
