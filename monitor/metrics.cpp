// SPDX-License-Identifier: MIT
// The Prometheus metrics of the checks, for node_exporter's textfile
// collector, the checks left to the GPUs' own units, and root's step that
// publishes what an unprivileged check wrote.

#include "monitor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
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

std::string seconds(long milliseconds)
{
    char text[32];
    (void)snprintf(text, sizeof text, "%ld.%03ld", milliseconds / 1000, milliseconds % 1000);
    return text;
}

static bool passed(const check &c)
{
    return c.outcome <= severity::software_pass;
}

// One family: the series of each check (what follows its node label:
// further labels, then the number). Per node even where every node has the
// same value, so that files written for single nodes never repeat a series:
// node_exporter refuses a repeated one.
static void family_of_rows(std::string &to, const std::vector<check> &checks, const std::string &name,
                           const char *help,
                           const std::function<std::vector<std::string>(const check &)> &rows_of,
                           const char *type = "gauge")
{
    std::string series;
    for (const check &c : checks) {
        for (const std::string &row : rows_of(c))
            series.append("kalpex_").append(name).append("{node=\"").append(label_value(c.label)).append("\"")
                .append(row).append("\n");
    }
    if (!series.empty())
        to += "# HELP kalpex_" + name + " " + help + "\n# TYPE kalpex_" + name + " " + type + "\n" + series;
}

// A family with at most one series a check: those that have a value.
static void family(std::string &to, const std::vector<check> &checks, const std::string &name, const char *help,
                   const std::function<std::optional<std::string>(const check &)> &value_of,
                   const char *type = "gauge")
{
    family_of_rows(
        to, checks, name, help,
        [&](const check &c) {
            const std::optional<std::string> value = value_of(c);
            return value ? std::vector<std::string>{*value} : std::vector<std::string>{};
        },
        type);
}

static std::string info_labels(const gpu_identity &gpu)
{
    return ",gpu_node=\"" + label_value(gpu.node) + "\",pci_address=\"" + label_value(gpu.pci_address) +
           "\",driver=\"" + label_value(gpu.driver) + "\",vendor=\"" + label_value(gpu.vendor) +
           "\",device=\"" + label_value(gpu.device) + "\"} 1";
}

static std::string decimal(double value)
{
    char text[32];
    (void)snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// Which GPU each check reached, and the PCIe link it trained to. The display
// devices that have no render node are in every check's info too: nothing
// else checks them.
static void gpu_families(std::string &to, const std::vector<check> &checks, const std::vector<gpu_identity> &displays)
{
    family_of_rows(to, checks, "gpu_info",
                   "The GPU a check reached (gpu_node is its node), and each display device on the PCI bus that "
                   "has no render node (gpu_node empty): slot, kernel driver (empty: none bound), PCI IDs.",
                   [&](const check &c) {
                       std::vector<std::string> rows;
                       if (c.gpu)
                           rows.push_back(info_labels(*c.gpu));
                       for (const gpu_identity &gpu : displays)
                           rows.push_back(info_labels(gpu));
                       return rows;
                   });
    const auto link_value = [](const std::function<std::string(const pcie_link &)> &of) {
        return [of](const check &c) -> std::optional<std::string> {
            if (!c.gpu || !c.gpu->link)
                return std::nullopt;
            return "} " + of(*c.gpu->link);
        };
    };
    family(to, checks, "pcie_link_width", "The lanes the GPU's PCIe link trained to.",
           link_value([](const pcie_link &link) { return std::to_string(link.width); }));
    family(to, checks, "pcie_link_max_width", "The most lanes both ends of the GPU's PCIe link support.",
           link_value([](const pcie_link &link) { return std::to_string(link.max_width); }));
    family(to, checks, "pcie_link_speed_transfers_per_second",
           "The speed of the GPU's PCIe link now; below the most at idle, to save power.",
           link_value([](const pcie_link &link) { return decimal(link.speed * 1e9); }));
    family(to, checks, "pcie_link_max_speed_transfers_per_second",
           "The most speed both ends of the GPU's PCIe link support.",
           link_value([](const pcie_link &link) { return decimal(link.max_speed * 1e9); }));
    family(to, checks, "pcie_link_degraded",
           "Whether the GPU's PCIe link trained narrower than both of its ends support (1): a riser, a "
           "connector or a slot.",
           link_value([](const pcie_link &link) { return link_degraded(link) ? "1" : "0"; }));
}

// Why a node did not open: missing, permission or other, in errno's words.
static void open_family(std::string &to, const std::vector<check> &checks)
{
    family(to, checks, "probe_open_failure",
           "Why the node did not open for the check's user: missing (hardware or a driver), permission "
           "(configuration: groups, the container, the device cgroup) or other.",
           [](const check &c) -> std::optional<std::string> {
               if (c.open_cause.empty() || passed(c))
                   return std::nullopt;
               return ",cause=\"" + c.open_cause + "\",error=\"" + label_value(c.open_error) + "\"} 1";
           });
}

// What the kernel reported about the node's GPU: none of these series is
// there before the node's first kernel event.
static void kernel_families(std::string &to, const std::vector<check> &checks)
{
    family(to, checks, "kernel_wedged",
           "Whether the GPU's last WEDGED= report from the kernel still stands (1: no pass in hardware since), "
           "with its recovery methods.",
           [](const check &c) -> std::optional<std::string> {
               if (!c.kernel || c.kernel->report.empty())
                   return std::nullopt;
               const std::optional<std::string> standing =
                   c.outcome == severity::hardware_pass ? std::nullopt : standing_wedge(c);
               return ",wedged=\"" + label_value(standing.value_or(c.kernel->report)) + "\"} " +
                      (standing ? "1" : "0");
           });
    family(to, checks, "kernel_report_timestamp_seconds",
           "When the kernel last reported the GPU wedged (WEDGED=), in seconds since the epoch.",
           [](const check &c) -> std::optional<std::string> {
               if (!c.kernel || c.kernel->report.empty())
                   return std::nullopt;
               return "} " + std::to_string(c.kernel->report_time);
           });
    const auto count = [](long long kernel_record::*field) {
        return [field](const check &c) -> std::optional<std::string> {
            if (!c.kernel)
                return std::nullopt;
            return "} " + std::to_string((*c.kernel).*field);
        };
    };
    family(to, checks, "kernel_wedge_events_total",
           "WEDGED= reports of a GPU that needs recovery, since the node appeared.", count(&kernel_record::wedges),
           "counter");
    family(to, checks, "kernel_reset_events_total",
           "WEDGED=none reports (a reset brought the GPU back), since the node appeared.",
           count(&kernel_record::resets), "counter");
    family(to, checks, "kernel_event_unanswered",
           "Whether a kernel event (a wedge or reset report, or another GPU gone) has had no passing check since.",
           [](const check &c) -> std::optional<std::string> {
               if (!c.kernel)
                   return std::nullopt;
               const bool answered = answers_kernel_events(c) || c.kernel->events <= c.answered.passed;
               return answered ? "} 0" : "} 1";
           });
}

static std::string metrics_text(const settings &options, const std::vector<check> &checks, size_t nodes_found,
                                const std::vector<gpu_identity> &displays)
{
    const auto same = [](const std::string &value) { return [value](const check &) { return value; }; };
    std::string to;
    family(to, checks, "probe_success", "Whether the last GPU rendering check passed (1) or not (0).",
           [](const check &c) { return passed(c) ? "} 1" : "} 0"; });
    family(to, checks, "probe_hardware",
           "Whether a hardware renderer passed the last check (1) or a software rasteriser (0).",
           [](const check &c) -> std::optional<std::string> {
               if (!passed(c))
                   return std::nullopt;
               return c.outcome == severity::hardware_pass ? "} 1" : "} 0";
           });
    family(to, checks, "probe_failed_stage", "The stage at which the last check failed.",
           [](const check &c) -> std::optional<std::string> {
               if (passed(c))
                   return std::nullopt;
               return ",stage=\"" + label_value(c.stage) + "\"} 1";
           });
    family(to, checks, "probe_duration_seconds", "How long the last check took.",
           [](const check &c) { return "} " + seconds(c.ended_ms - c.started_ms); });
    family(to, checks, "probe_last_run_timestamp_seconds", "When the last check ended, in seconds since the epoch.",
           [](const check &c) { return "} " + std::to_string(static_cast<long long>(c.ended_wall)); });
    family(to, checks, "probe_trigger",
           "Why the last check ran: a kernel event, or its schedule (the timer, boot, or by hand).",
           [](const check &c) {
               return after_kernel_event(c) ? ",trigger=\"kernel_event\"} 1" : ",trigger=\"schedule\"} 1";
           });
    open_family(to, checks);
    kernel_families(to, checks);
    gpu_families(to, checks, displays);
    family(to, checks, "build_info", "The version of kalpex that ran the check.",
           same(",version=\"" + label_value(KALPEX_VERSION) + "\"} 1"));
    family(to, checks, "render_nodes", "Render nodes found on the machine when the node was checked.",
           same("} " + std::to_string(nodes_found)));
    if (options.expected_nodes)
        family(to, checks, "render_nodes_expected", "Render nodes the machine must have (--expect).",
               same("} " + std::to_string(options.expected_nodes)));
    return to;
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

void leave_to_units(const std::string &file, std::vector<check> &checks)
{
    const std::string folder = folder_of(file), own = file.substr(file.rfind('/') + 1);
    const auto published_beside = [&](const check &c) {
        const std::vector<std::string> names = c.node ? unit_instances(*c.node) : std::vector<std::string>{};
        const auto file_of = [](const std::string &name) { return "kalpex-" + name + ".prom"; };
        if (std::any_of(names.begin(), names.end(), [&](const std::string &name) { return own == file_of(name); }))
            return false; // this is the GPU's own unit
        return std::any_of(names.begin(), names.end(), [&](const std::string &name) {
            return access((folder + "/" + file_of(name)).c_str(), F_OK) == 0;
        });
    };
    checks.erase(std::remove_if(checks.begin(), checks.end(), published_beside), checks.end());
}

void write_metrics(const settings &options, const std::vector<check> &checks, size_t nodes_found,
                   const std::vector<gpu_identity> &displays)
{
    // No folder, no node_exporter here: nothing to write.
    if (options.textfile && folder_exists(*options.textfile))
        (void)replace_file(*options.textfile, metrics_text(options, checks, nodes_found, displays));
}

// Only kalpex's own series go through: what the unprivileged side wrote
// can add nothing else to what node_exporter serves.
static bool only_kalpex_metrics(std::string_view metrics)
{
    if (metrics.empty() || metrics.back() != '\n')
        return false;
    for (size_t at = 0; at < metrics.size(); at = metrics.find('\n', at) + 1) {
        const std::string_view line = metrics.substr(at);
        if (!starts_with(line, "kalpex_") && !starts_with(line, "# HELP kalpex_") &&
            !starts_with(line, "# TYPE kalpex_"))
            return false;
    }
    return true;
}

int publish_metrics(const std::string &source, const std::string &destination)
{
    const owned_fd file(open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.fd < 0 && errno == ENOENT) {
        // The check left no metrics (it could not start, or was killed):
        // no stale verdict stays behind either.
        if (unlink(destination.c_str()) != 0 && errno != ENOENT) {
            (void)dprintf(2, "kalpex-monitor: cannot remove %s: %s\n", destination.c_str(), strerror(errno));
            return 1;
        }
        return 0;
    }
    std::string metrics;
    struct stat status {
    };
    bool readable = file.fd >= 0 && fstat(file.fd, &status) == 0 && S_ISREG(status.st_mode) &&
                    status.st_size <= 1 << 20;
    char buffer[4096];
    for (ssize_t got = 1; readable && got > 0;) {
        got = read(file.fd, buffer, sizeof buffer);
        readable = got >= 0;
        if (got > 0)
            metrics.append(buffer, static_cast<size_t>(got));
    }
    int status_code = 0;
    if (!readable || !only_kalpex_metrics(metrics)) {
        (void)dprintf(2, "kalpex-monitor: %s holds no kalpex metrics\n", source.c_str());
        (void)unlink(destination.c_str());
        status_code = 1;
    } else if (folder_exists(destination) && !replace_file(destination, metrics)) {
        status_code = 1;
    }
    // Taken: the next check publishes its own metrics or none.
    (void)unlink(source.c_str());
    return status_code;
}
