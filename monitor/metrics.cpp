// SPDX-License-Identifier: MIT
// The Prometheus metrics of the verdicts, for node_exporter's textfile
// collector: the families, one writer of their series, the checks left to
// the GPUs' own units, and root's step that publishes what an
// unprivileged check wrote.

#include "monitor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

// Prometheus label values escape backslash, double quote and newline.
static std::string label_value(std::string_view value)
{
    std::string escaped;
    for (const char byte : value) {
        if (byte == '\\' || byte == '"')
            escaped += '\\';
        escaped += byte == '\n' ? std::string_view("\\n") : std::string_view(&byte, 1);
    }
    return escaped;
}

// A family as node_exporter's collectors describe one: its name, help and
// type, and the names of the labels each of its series has after the
// device's and the path's. The families are written in this order.
struct family {
    const char *name, *help, *type;
    const char *labels[5]; // as many as there are, then none
};
enum family_id : std::uint8_t {
    probe_success, probe_hardware, probe_failed_stage, probe_duration, probe_last_run, probe_trigger,
    probe_open_failure, kernel_wedged, kernel_report_time, kernel_wedge_events, kernel_reset_events,
    kernel_event_unanswered, gpu_info, link_width, link_max_width, link_speed, link_max_speed, link_degraded_family,
    build_info, render_nodes, gpus_found, gpus_expected, family_count
};
static const family families[family_count] = {
    {"probe_success", "Whether the last GPU rendering check passed (1) or not (0).", "gauge", {}},
    {"probe_hardware", "Whether a hardware renderer passed the last check (1) or a software rasteriser (0).",
     "gauge", {}},
    {"probe_failed_stage", "The stage at which the last check failed.", "gauge", {"stage"}},
    {"probe_duration_seconds", "How long the last check took.", "gauge", {}},
    {"probe_last_run_timestamp_seconds", "When the last check ended, in seconds since the epoch.", "gauge", {}},
    {"probe_trigger", "Why the last check ran: a kernel event, or its schedule (the timer, boot, or by hand).",
     "gauge", {"trigger"}},
    {"probe_open_failure",
     "Why the node did not open for the check's user: missing (hardware or a driver), permission "
     "(configuration: groups, the container, the device cgroup) or other.",
     "gauge", {"cause", "error"}},
    {"kernel_wedged",
     "Whether the GPU's last WEDGED= report from the kernel still stands (1: no pass in hardware since), "
     "with its recovery methods.",
     "gauge", {"wedged"}},
    {"kernel_report_timestamp_seconds",
     "When the kernel last reported the GPU wedged (WEDGED=), in seconds since the epoch.", "gauge", {}},
    {"kernel_wedge_events_total", "WEDGED= reports of a GPU that needs recovery, since the node appeared.",
     "counter", {}},
    {"kernel_reset_events_total", "WEDGED=none reports (a reset brought the GPU back), since the node appeared.",
     "counter", {}},
    {"kernel_event_unanswered",
     "Whether a kernel event (a wedge or reset report, or another GPU gone) has had no passing check since.",
     "gauge", {}},
    {"gpu_info",
     "The GPU a check reached (gpu_node is its node), and each display device on the PCI bus that has no "
     "render node (gpu_node empty): slot, kernel driver (empty: none bound), PCI IDs.",
     "gauge", {"gpu_node", "pci_address", "driver", "vendor_id", "device_id"}},
    {"pcie_link_width", "The lanes the GPU's PCIe link trained to.", "gauge", {}},
    {"pcie_link_max_width", "The most lanes both ends of the GPU's PCIe link support.", "gauge", {}},
    {"pcie_link_speed_transfers_per_second",
     "The speed of the GPU's PCIe link now; below the most at idle, to save power.", "gauge", {}},
    {"pcie_link_max_speed_transfers_per_second", "The most speed both ends of the GPU's PCIe link support.",
     "gauge", {}},
    {"pcie_link_degraded",
     "Whether the GPU's PCIe link trained narrower than both of its ends support (1): a riser, a connector or "
     "a slot.",
     "gauge", {}},
    {"build_info", "The version of kalpex that ran the check.", "gauge", {"version"}},
    {"render_nodes", "Render nodes found on the machine when the node was checked.", "gauge", {}},
    {"gpus", "GPUs found on the machine when the GPU was checked: render nodes, and display devices with a "
     "driver but no render node.", "gauge", {}},
    {"gpus_expected", "GPUs the machine must have (--expect).", "gauge", {}},
};
// Every series is per GPU and path, even where every GPU has the same
// value, so that files written for single GPUs never repeat a series:
// node_exporter refuses a repeated one. The GPU's label is not "node":
// that is the Kubernetes node's, in kube-state-metrics and in scrape
// configs that set it on every series of a target. gpu_info is the GPU's
// own, one series per GPU, with no path.
static const char device_label[] = "device";
static const char api_label[] = "api";

// The series of every family, gathered check by check.
using family_series = std::vector<std::string>;

// One series: the family's labels with these values, and its value.
static void add(family_series &series, family_id id, const std::string &device, probe_api api,
                const std::vector<std::string> &values, const std::string &value)
{
    const family &of = families[id];
    const size_t label_count = std::find(std::begin(of.labels), std::end(of.labels), nullptr) - std::begin(of.labels);
    if (values.size() != label_count)
        return; // never a series whose labels are not its family's
    std::string &to = series[id];
    to.append("kalpex_").append(of.name).append("{").append(device_label).append("=\"").append(label_value(device));
    to.append("\"");
    if (id != gpu_info)
        to.append(",").append(api_label).append("=\"").append(api_name(api)).append("\"");
    for (size_t i = 0; i < values.size(); ++i)
        to.append(",").append(of.labels[i]).append("=\"").append(label_value(values[i])).append("\"");
    to.append("} ").append(value).append("\n");
}

static std::string decimal(double value)
{
    char text[32];
    (void)snprintf(text, sizeof text, "%.6g", value);
    return text;
}

static std::vector<std::string> info_values(const gpu_identity &gpu)
{
    return {gpu.node, gpu.pci_address, gpu.driver, gpu.vendor, gpu.device};
}

// Which GPU the checks reached, once a GPU, with its first path. The
// display devices that have no render node and are no GPU of this
// machine's go with it: no check reaches them. A GPU with no render node
// that renders here is checked, by this run or by its own unit: it has
// its own info.
static void add_gpu_info(family_series &series, const machine_verdict &machine, const verdict &judged)
{
    const planned_check &planned = *judged.planned;
    if (judged.gpu)
        add(series, gpu_info, planned.label, planned.api, info_values(*judged.gpu), "1");
    for (const gpu_identity &display : machine.displays) {
        if (!renders_here(display))
            add(series, gpu_info, planned.label, planned.api, info_values(display), "1");
    }
}

// The series of one check: its verdict, what the kernel reported about
// its GPU (none before the node's first kernel event), its GPU's PCIe
// link, and the machine's.
static void add_check(family_series &series, const settings &options, const check_plan &plan,
                      const machine_verdict &machine, const verdict &judged)
{
    const planned_check &planned = *judged.planned;
    const std::string &node = planned.label;
    const probe_api api = planned.api;
    const bool pass = passed(judged);
    add(series, probe_success, node, api, {}, pass ? "1" : "0");
    if (pass)
        add(series, probe_hardware, node, api, {}, judged.level == severity::hardware_pass ? "1" : "0");
    else
        add(series, probe_failed_stage, node, api, {failed_stage(options, judged)}, "1");
    add(series, probe_duration, node, api, {}, seconds(judged.run->ended_ms - judged.run->started_ms));
    add(series, probe_last_run, node, api, {}, std::to_string(static_cast<long long>(judged.run->ended_wall)));
    add(series, probe_trigger, node, api, {after_kernel_event(planned) ? "kernel_event" : "schedule"}, "1");
    if (!judged.open_cause.empty() && !pass)
        add(series, probe_open_failure, node, api, {judged.open_cause, judged.open_error}, "1");

    if (const std::optional<kernel_record> &kernel = planned.kernel) {
        if (!kernel->report.empty()) {
            add(series, kernel_wedged, node, api, {judged.wedge.value_or(kernel->report)}, judged.wedge ? "1" : "0");
            add(series, kernel_report_time, node, api, {}, std::to_string(kernel->report_time));
        }
        add(series, kernel_wedge_events, node, api, {}, std::to_string(kernel->wedges));
        add(series, kernel_reset_events, node, api, {}, std::to_string(kernel->resets));
        const bool answered = answers_kernel_events(judged, machine) || kernel->events <= planned.answered.passed;
        add(series, kernel_event_unanswered, node, api, {}, answered ? "0" : "1");
    }

    if (judged.gpu && judged.gpu->link) {
        const pcie_link &link = *judged.gpu->link;
        add(series, link_width, node, api, {}, std::to_string(link.width));
        add(series, link_max_width, node, api, {}, std::to_string(link.max_width));
        add(series, link_speed, node, api, {}, decimal(link.speed * 1e9));
        add(series, link_max_speed, node, api, {}, decimal(link.max_speed * 1e9));
        add(series, link_degraded_family, node, api, {}, link_degraded(link) ? "1" : "0");
    }

    add(series, build_info, node, api, {KALPEX_VERSION}, "1");
    add(series, render_nodes, node, api, {}, std::to_string(plan.render_nodes));
    add(series, gpus_found, node, api, {}, std::to_string(plan.gpus));
    if (options.expected_nodes)
        add(series, gpus_expected, node, api, {}, std::to_string(options.expected_nodes));
}

std::string metrics_text(const settings &options, const check_plan &plan, const machine_verdict &machine,
                         const std::vector<verdict> &verdicts)
{
    family_series series(family_count);
    // A path that does not apply beside others has no series of its own.
    for (const verdict &judged : verdicts) {
        if (judged.planned->first_of_gpu)
            add_gpu_info(series, machine, judged);
        if (judged.level != severity::not_applicable)
            add_check(series, options, plan, machine, judged);
    }
    std::string text;
    for (size_t id = 0; id < family_count; ++id) {
        if (series[id].empty())
            continue;
        const family &of = families[id];
        text.append("# HELP kalpex_").append(of.name).append(" ").append(of.help).append("\n");
        text.append("# TYPE kalpex_").append(of.name).append(" ").append(of.type).append("\n").append(series[id]);
    }
    return text;
}

static std::string folder_of(const std::string &file)
{
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : file.substr(0, slash ? slash : 1);
}

static bool folder_exists(const std::string &file)
{
    return access(folder_of(file).c_str(), F_OK) == 0;
}

bool published_beside(const std::string &file, const planned_check &planned)
{
    const std::string folder = folder_of(file), own = file.substr(file.rfind('/') + 1);
    const std::vector<std::string> names = planned.node ? unit_instances(*planned.node) : std::vector<std::string>{};
    const auto file_of = [](const std::string &name) { return "kalpex-" + name + ".prom"; };
    if (std::any_of(names.begin(), names.end(), [&](const std::string &name) { return own == file_of(name); }))
        return false; // this is the GPU's own unit
    return std::any_of(names.begin(), names.end(), [&](const std::string &name) {
        return access((folder + "/" + file_of(name)).c_str(), F_OK) == 0;
    });
}

void write_metrics(const settings &options, const std::string &text)
{
    // No folder, no node_exporter here: nothing to write.
    if (options.textfile && folder_exists(*options.textfile))
        (void)replace_file(*options.textfile, text);
}

// Only kalpex's own series go through: what the unprivileged side wrote
// can add nothing else to what node_exporter serves.
static bool only_kalpex_metrics(std::string_view metrics)
{
    if (metrics.empty() || metrics.back() != '\n')
        return false;
    const std::vector<std::string_view> lines = split(metrics.substr(0, metrics.size() - 1), '\n');
    return std::all_of(lines.begin(), lines.end(), [](std::string_view line) {
        return starts_with(line, "kalpex_") || starts_with(line, "# HELP kalpex_") ||
               starts_with(line, "# TYPE kalpex_");
    });
}

// A file larger than this is not what a check writes.
static const size_t largest_metrics = 1 << 20;

int publish_metrics(const std::string &source, const std::string &destination)
{
    struct stat status {
    };
    if (lstat(source.c_str(), &status) != 0 && errno == ENOENT) {
        // The check left no metrics (it could not start, or was killed):
        // no stale verdict stays behind either.
        if (unlink(destination.c_str()) != 0 && errno != ENOENT) {
            (void)dprintf(2, "kalpex-monitor: cannot remove %s: %s\n", destination.c_str(), strerror(errno));
            return 1;
        }
        return 0;
    }
    const std::optional<std::string> metrics = read_regular_file(source, largest_metrics + 1, {});
    int status_code = 0;
    if (!metrics || metrics->size() > largest_metrics || !only_kalpex_metrics(*metrics)) {
        (void)dprintf(2, "kalpex-monitor: %s holds no kalpex metrics\n", source.c_str());
        (void)unlink(destination.c_str());
        status_code = 1;
    } else if (folder_exists(destination) && !replace_file(destination, *metrics)) {
        status_code = 1;
    }
    // Taken: the next check publishes its own metrics or none.
    (void)unlink(source.c_str());
    return status_code;
}
