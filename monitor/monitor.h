// SPDX-License-Identifier: MIT
// The monitor adapter: runs kalpex on each GPU's node as a child process and
// turns the runs into what monitors read (a verdict line first, an exit
// status, Prometheus metrics). It links none of the GPU code, so a driver
// that hangs or crashes can only take a child down.
#pragma once

#include <algorithm>
#include <charconv>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

// An open file descriptor, closed with its owner.
struct owned_fd {
    int fd = -1;
    owned_fd() = default;
    explicit owned_fd(int value) : fd(value) {}
    owned_fd(owned_fd &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    owned_fd &operator=(owned_fd &&other) noexcept
    {
        reset(std::exchange(other.fd, -1));
        return *this;
    }
    ~owned_fd() { reset(); }
    void reset(int value = -1)
    {
        if (fd >= 0)
            (void)close(fd);
        fd = value;
    }
};

inline bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The pieces of text between separators, empty ones kept: the words of a
// state line, the fields of an /etc/passwd line.
inline std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    for (size_t at = 0; at <= text.size();) {
        const size_t end = std::min(text.find(separator, at), text.size());
        pieces.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return pieces;
}

// Decimal digits alone, at most 18 of them, as a number.
inline std::optional<long long> decimal_number(std::string_view digits)
{
    long long value = 0;
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string_view::npos ||
        std::from_chars(digits.data(), digits.data() + digits.size(), value).ec != std::errc())
        return std::nullopt;
    return value;
}

// A DRM node's name: the prefix and its number (renderD128, card0).
inline bool numbered(std::string_view name, std::string_view prefix)
{
    const std::string_view number = name.substr(std::min(prefix.size(), name.size()));
    return starts_with(name, prefix) && !number.empty() && number.size() <= 6 &&
           number.find_first_not_of("0123456789") == std::string_view::npos;
}

// What the kernel has reported about a node's GPU since the node appeared
// (kept by the event handler), and what the checks have answered since.
struct kernel_record {
    long long events = 0;     // kernel events that concern the node, numbered from 1
    long long event_time = 0; // when the last came
    long long wedge_event = 0; // the last report of a wedge that needs recovery (0: none)
    long long wedges = 0, resets = 0; // WEDGED= reports: a method, or none (a reset brought it back)
    long long report_time = 0; // the last WEDGED= report: when, and its value
    std::string report, wedge_methods; // that report's methods; the methods of the wedge_event
};
struct answer_record {
    long long seen = 0;   // the last event a finished check started after
    long long passed = 0; // the last event a passing check started after
};

// A GPU as sysfs shows it. Its PCIe link: the width and speed (GT/s) it
// trained to, and the most that both of its ends support.
struct pcie_link {
    int width = 0, max_width = 0;
    double speed = 0, max_speed = 0;
};
struct gpu_identity {
    std::string node;        // its DRM node (/dev/dri/renderD128); none: a display device without one
    std::string pci_address; // its slot, 0000:3b:00.0; none: no PCI device above the node (vgem)
    std::string driver;      // as the kernel names it (amdgpu); none: no driver bound
    std::string vendor, device; // PCI IDs, 0x1002
    std::optional<pcie_link> link;
};

// How a check ended, worst last: the first output line is the worst check's.
enum class severity { hardware_pass, software_pass, unknown, failure };

struct check {
    std::optional<std::string> node; // given to kalpex; none: kalpex's own default order
    std::string label;               // the node in lines and metrics
    std::string lock_path;           // none: the check runs unguarded

    enum class state { waiting, running, done } state = state::waiting;
    pid_t pid = -1; // kalpex, which leads the process group of its check
    owned_fd out_fd, err_fd, lock_fd;
    std::string out, err;
    // Milliseconds since the adapter started: when kalpex started, when it
    // next gets next_signal (0: it is given up on), and when it ended.
    long started_ms = 0, next_at = 0, ended_ms = 0;
    int next_signal = 0;
    time_t ended_wall = 0;

    int wait_status = 0;
    bool timed_out = false;  // still running at the bound
    bool unkillable = false; // still there after SIGKILL: stuck in the kernel
    int terminated_by = 0;   // the signal that ended the adapter first
    std::optional<std::string> spawn_error;
    // An earlier check holds the node: since when, the kalpex it recorded,
    // and the process of that check still there (0: none found).
    time_t stuck_since = 0;
    long stuck_kalpex = 0, stuck_holder = 0;
    // The node's files in the state folder, less their suffix (none: no
    // kernel reports are read for it), and what they held when the check
    // started.
    std::string state_path;
    std::optional<kernel_record> kernel;
    answer_record answered;
    bool short_of_gpus = false; // the machine has fewer render nodes than --expect

    // Set by judge(): the line that decides, the renderer line, the rest.
    severity outcome = severity::failure;
    std::string verdict, renderer, rest, stage;
    // The GPU of the node kalpex checked, where sysfs knows it.
    std::optional<gpu_identity> gpu;
    // Why a node did not open, for the check's user: missing, permission
    // or other, and errno's words (with the node's mode and group).
    std::string open_cause, open_error;
};

// Who kalpex runs as: the adapter started by root runs it as an ordinary
// GPU user, so that a pass means a workload could render.
struct identity {
    bool switch_user = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

struct settings {
    std::string kalpex = KALPEX_DEFAULT;
    unsigned bound = 60; // seconds a check may take
    std::optional<std::string> textfile, user;
    unsigned expected_nodes = 0; // 0: no expectation
    // The plugin's -w and -c: a check slower than this (milliseconds)
    // warns, or is critical.
    std::optional<long> warning_ms, critical_ms;
    bool require_hw = false;
    bool allow_no_gpu = false; // a machine with no GPU passes, checking nothing
    std::optional<std::string> gpu; // --gpu, as given: the lines name the GPU whatever the outcome
    std::vector<std::string> nodes; // as given
    identity run_as;
    std::optional<std::string> identity_error; // set: no check can run
};

// files.cpp: the file helpers the other parts share. A path with every
// link resolved, or none.
std::optional<std::string> real_path(const std::string &path);
// A file's text, up to most bytes, or none.
std::optional<std::string> read_text(const std::string &path, size_t most);
// A folder's entries but those that begin with '.', sorted; none where it
// cannot be read.
std::vector<std::string> folder_entries(const std::string &folder);
bool write_all(int fd, std::string_view text);
// Replaces a file whole: a reader sees the old text or the new one.
bool replace_file(const std::string &file, std::string_view content);

// options.cpp: the command lines and the checks to run. The scans yield
// false, having said why, where the adapter cannot go on.
// done: the scan answered --help or --version itself.
bool scan_options(int argc, char **argv, settings &options, bool &done);
// The slot's name of the GPU that --gpu names by its node's number, where
// it has one (the units were named by the number before).
std::optional<std::string> renamed_unit(const settings &options);
bool scan_plugin_options(int argc, char **argv, settings &options);
std::vector<std::string> find_render_nodes();
std::vector<check> plan_checks(const settings &options, const std::vector<std::string> &render_nodes);
// users.cpp: who kalpex runs as, and who may write the shared state.
bool choose_identity(settings &options);
std::vector<uid_t> state_writers();

// locks.cpp: the folders of locks and state, the names of a node's files,
// and the per-node locks.
std::optional<std::string> lock_folder(const settings &options);
std::optional<std::string> state_folder();
std::string node_file_name(const std::optional<std::string> &node);
// What a check records in its node's lock: when it started, until when it
// may run before it counts as stuck, and its kalpex.
struct lock_record {
    long long started = 0, stuck_after = 0;
    long pid = 0;
};
// false while an earlier check holds the lock: holder says what it recorded.
bool take_lock(const settings &options, check &c, lock_record &holder);
void write_record(const std::string &path, const lock_record &record);
long holder_of(long kalpex);

// sysfs.cpp: what the kernel shows of the GPUs. A node's device folder
// (/sys/class/drm/NAME/device, resolved): the one place the node's device
// is read from.
std::optional<std::string> node_device(std::string_view node_name);
// A PCI device's name in sysfs: its address, 0000:3b:00.0.
bool pci_address(std::string_view name);
std::vector<std::string> card_render_nodes(const std::string &card);
// The names the units give a node's GPU: udev's path of its device
// (pci-0000:3b:00.0), from its link in /dev/dri/by-path, then the node's
// own name (renderD128).
std::vector<std::string> unit_instances(const std::string &node);
std::optional<gpu_identity> identify(const std::string &node_path);
// The PCI display devices (class 0x03) that have no render node.
std::vector<gpu_identity> displays_without_node();
bool management_display(const gpu_identity &gpu);
std::string driver_text(const gpu_identity &gpu);   // "amdgpu", or "no driver"
std::string identity_text(const gpu_identity &gpu); // " (0000:3b:00.0, amdgpu)"
bool link_degraded(const pcie_link &link);

// kernel_events.cpp: the handler udev runs on a kernel event.
int handle_kernel_event();
bool method_list(std::string_view methods);
// kernel_state.cpp: the kernel's reports as the handler keeps them, and
// what a check makes of them.
void record_event(const std::string &folder, const std::string &node, time_t now, const char *methods);
void forget(const std::string &folder, const std::string &node);
void read_kernel_state(check &c);
// The recovery methods of a wedge the kernel reported that no pass in
// hardware has answered yet.
std::optional<std::string> standing_wedge(const check &c);
bool after_kernel_event(const check &c);
bool answers_kernel_events(const check &c);
void record_answer(const check &c);
// units.cpp: the checks' units started at once, and SLURM's health check.
std::string run_program(const std::vector<std::string> &arguments);
bool systemd_runs();
void start_checks(const std::vector<std::string> &nodes);
// slurm.cpp
void run_slurm_health_check();

// run_checks.cpp: every check at once, each under the bound.
void run_checks(const settings &options, std::vector<check> &checks);
bool drop_privileges(const identity &user);

// verdict.cpp: the judge of each run, and the adapter's lines and exit
// status.
void judge(const settings &options, check &c);
// The lines of every check, worst first, and what follows them on
// standard error; yields the worst outcome.
severity report_lines(const std::vector<check> &checks, bool name_nodes, const std::string &machine_failure,
                      std::string &out, std::string &err);
// The --expect line: the count, and the display devices with no render node.
std::string short_of_gpus_line(unsigned expected, size_t found, const std::vector<gpu_identity> &displays);
int report(const std::vector<check> &checks, bool name_nodes, const std::string &machine_failure);
// plugin.cpp: the same lines as a monitoring plugin gives them.
int plugin_report(const settings &options, const std::vector<check> &checks, bool name_nodes,
                  const std::string &machine_failure, size_t nodes_found);

// metrics.cpp
void write_metrics(const settings &options, const std::vector<check> &checks, size_t nodes_found,
                   const std::vector<gpu_identity> &displays);
int publish_metrics(const std::string &source, const std::string &destination);
// Leaves out the checks of GPUs whose own unit publishes them beside file
// (kalpex-pci-0000:3b:00.0.prom): node_exporter refuses a series twice.
void leave_to_units(const std::string &file, std::vector<check> &checks);
std::string seconds(long milliseconds); // as metrics give durations: 0.093
