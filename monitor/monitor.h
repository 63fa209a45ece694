// SPDX-License-Identifier: MIT
// The monitor adapter: runs kalpex on each GPU's node as a child process and
// turns the runs into what monitors read (a verdict line first, an exit
// status, Prometheus metrics). It links none of the GPU code, so a driver
// that hangs or crashes can only take a child down.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
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
    long long events = 0;      // kernel events that concern the node, numbered from 1
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

// The ways a workload renders headless, each checked by its own probe:
// GLES through GBM on a DRM node (kalpex), EGL's device platform
// (kalpex-egl-device) and Vulkan (kalpex-vulkan).
enum class probe_api : std::uint8_t { gbm, egl_device, vulkan };
inline const char *api_name(probe_api api)
{
    return api == probe_api::gbm ? "gbm" : api == probe_api::egl_device ? "egl-device" : "vulkan";
}

// The checks pass through four stages, each taking what the ones before
// gave, read-only: the plan, the run, the judge, and the writers of lines,
// plugin output, metrics and state.

// The plan of one check, fixed before any runs.
struct planned_check {
    probe_api api = probe_api::gbm;
    // Given to the probe: a node, or for a GPU with no DRM node its slot
    // (Vulkan) or its place among such GPUs (EGL's devices); none: the
    // probe's own choice.
    std::optional<std::string> node;
    std::string label; // the node in lines and metrics, or the slot of a GPU that has none
    // A GPU with no DRM node, as the PCI bus shows it: GBM cannot reach it,
    // and its check does not apply (no probe runs).
    std::optional<gpu_identity> nodeless_gpu;
    bool applies = true;
    bool first_of_gpu = true; // the GPU's first path: its own facts go with it
    std::string lock_path;           // none: the check runs unguarded
    // The node's files in the state folder, less their suffix (none: no
    // kernel reports are read for it), and what they held when planned.
    std::string state_path;
    std::optional<kernel_record> kernel;
    answer_record answered;
};
struct check_plan {
    std::vector<planned_check> checks;
    size_t render_nodes = 0; // render nodes found on the machine
    // GPUs found: the render nodes, and the display devices with a driver
    // but no render node (not a management controller's).
    size_t gpus = 0;
    // Lines name the path they checked wherever another than GBM's is.
    bool name_apis = false;
    // Lines name their node wherever the adapter chose the nodes or
    // checked several, or the GPU was named by its unit.
    bool name_nodes = false;
};

// A check as the run left it.
struct run_result {
    pid_t pid = -1; // the kalpex started; -1: none
    // Milliseconds since the adapter started: when kalpex started (0: it
    // never did) and when the check ended; and the wall clock then.
    long started_ms = 0, ended_ms = 0;
    time_t ended_wall = 0;
    int wait_status = 0;
    std::string out, err;
    bool timed_out = false;  // still running at the bound
    bool unkillable = false; // still there after SIGKILL: stuck in the kernel
    int terminated_by = 0;   // the signal that ended the adapter first
    std::optional<std::string> spawn_error;
    // An earlier check holds the node: since when, the kalpex it recorded,
    // and the process of that check still there (0: none found).
    time_t stuck_since = 0;
    long stuck_kalpex = 0, stuck_holder = 0;
};

// How a check ended, worst last: the first output line is the worst check's.
// A path that does not apply to the GPU (GBM with no DRM node) is below
// every outcome: it is said, and decides nothing.
enum class severity : std::uint8_t { not_applicable, hardware_pass, software_pass, unknown, failure };
// What decided a check where kalpex's own verdict did not.
enum class ending : std::uint8_t {
    kalpex, no_drm_node, stuck, cannot_run, unkillable, timed_out, terminated, killed, bad_exit
};

// kalpex's own lines, sorted: the first PASS or FAIL line, the first
// renderer line, the first node line, and the rest in their order.
struct kalpex_lines {
    std::string verdict, renderer, node, rest;
};

// The judge's finding on one check: facts, and kalpex's lines to quote;
// the writers make the text.
struct verdict {
    const planned_check *planned = nullptr;
    const run_result *run = nullptr;
    severity level = severity::failure;
    ending ended_by = ending::kalpex;
    int exit_status = -1, signal = 0; // kalpex's, where it exited or was killed
    std::string cannot_run_why;       // errno's words, or kalpex's last words
    kalpex_lines said;
    std::string kalpex_stage; // the stage kalpex's FAIL line names
    // The recovery methods of a standing wedge that failed the check.
    std::optional<std::string> wedge;
    std::optional<std::string> node; // the node kalpex checked, where known
    std::optional<gpu_identity> gpu;
    // Why a node did not open, for the check's user: missing, permission
    // or other, and errno's words (with the node's mode and group).
    std::string open_cause, open_error;
};

inline bool passed(const verdict &judged)
{
    return judged.level <= severity::software_pass;
}

// What holds for the machine as a whole.
struct machine_verdict {
    bool short_of_gpus = false; // fewer GPUs than --expect
    // The display devices that have no render node (read where they are
    // named: under --expect, and in the metrics).
    std::vector<gpu_identity> displays;
};

// What a writer gives: the text for each stream, and the exit status.
struct output {
    std::string out, err;
    int status = 0;
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
    unsigned expected_nodes = 0; // GPUs the machine must have; 0: no expectation
    // The paths checked on every GPU, in this order.
    std::vector<probe_api> apis = {probe_api::gbm, probe_api::egl_device, probe_api::vulkan};
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
// What is left to read from a file or pipe, up to most bytes; none on an
// error.
std::optional<std::string> read_all(int fd, size_t most);
// A file's text, up to most bytes, or none.
std::optional<std::string> read_text(const std::string &path, size_t most);
// The same of a regular file, not through a link, that one of owners owns
// (none: any owner).
std::optional<std::string> read_regular_file(const std::string &path, size_t most, const std::vector<uid_t> &owners);
// A folder's entries but those that begin with '.', sorted; none where it
// cannot be read.
std::vector<std::string> folder_entries(const std::string &folder);
bool write_all(int fd, std::string_view text);
// Replaces a file whole: a reader sees the old text or the new one.
bool replace_file(const std::string &file, std::string_view content);
// The small state files (a lock's record, the kernel's reports, the
// answers): one line of numbers and words. Read only from a regular file
// that one of owners owns (none: any owner); none where it is not whole.
std::optional<std::vector<std::string>> read_state_line(const std::string &path, const std::vector<uid_t> &owners);
std::string state_line(const std::vector<std::string> &words);
// The first folder of systemd's RuntimeDirectory=, or none.
std::optional<std::string> unit_runtime_folder();
// A folder nobody else may write, owned by one of owners.
bool guarded_folder(const std::string &folder, const std::vector<uid_t> &owners);
// A node's name for the files kept about it, escaped as systemd escapes
// paths: dev-dri-renderD128.
std::string node_file_name(const std::optional<std::string> &node);

// options.cpp: the command lines. The scans yield false, having said why,
// where the adapter cannot go on; done: the scan answered --help or
// --version itself.
bool scan_options(int argc, char **argv, settings &options, bool &done);
bool scan_plugin_options(int argc, char **argv, settings &options);
// A list of paths (gbm,vulkan), as --api and KALPEX_APIS give it; false
// for a word that is none, or an empty list.
bool api_list(std::string_view text, std::vector<probe_api> &apis);
// The program that checks a path: kalpex, or the probe beside it.
std::string probe_program(const settings &options, probe_api api);
// The slot's name of the GPU that --gpu names by its node's number, where
// it has one (the units were named by the number before).
std::optional<std::string> renamed_unit(const settings &options);
// plan.cpp: the checks to run.
check_plan plan_checks(const settings &options, const std::vector<std::string> &render_nodes,
                       const std::vector<gpu_identity> &displays, bool plugin);
// Whether a display device is a GPU this machine renders on: a driver
// bound, not a management controller's, not handed to a virtual machine.
bool renders_here(const gpu_identity &gpu);
// users.cpp: who kalpex runs as, and who may write the shared state.
bool choose_identity(settings &options);
std::vector<uid_t> state_writers();

// locks.cpp: the per-node locks and the records in them.
std::optional<std::string> lock_folder(const settings &options);
// What a check records in its node's lock: when it started, until when it
// may run before it counts as stuck, and its kalpex.
struct lock_record {
    long long started = 0, stuck_after = 0;
    long pid = 0;
};
// The lock of a planned check, open; -1 where it cannot be (no place for
// locks: the check runs unguarded).
owned_fd open_lock(const settings &options, const planned_check &planned);
// false while an earlier check holds the lock: holder says what it recorded.
bool take_lock(const owned_fd &lock, const std::string &path, lock_record &holder);
void write_record(const std::string &path, const lock_record &record);
long holder_of(long kalpex);

// sysfs.cpp: what the kernel shows of the GPUs. A node's device folder
// (/sys/class/drm/NAME/device, resolved): the one place the node's device
// is read from.
std::optional<std::string> node_device(std::string_view node_name);
std::vector<std::string> find_render_nodes();
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
// kernel_state.cpp: the kernel's reports as the handler keeps them, and
// what a check makes of them.
std::optional<std::string> state_folder();
bool method_list(std::string_view methods);
void record_event(const std::string &folder, const std::string &node, time_t now, const char *methods);
void forget(const std::string &folder, const std::string &node);
void read_kernel_state(planned_check &planned);
// The recovery methods of a wedge the kernel reported that no pass in
// hardware has answered yet.
std::optional<std::string> standing_wedge(const planned_check &planned);
bool after_kernel_event(const planned_check &planned);
bool answers_kernel_events(const verdict &judged, const machine_verdict &machine);
void record_answer(const verdict &judged, const machine_verdict &machine);
// units.cpp: the checks' units started at once, and SLURM's health check.
std::string run_program(const std::vector<std::string> &arguments);
bool systemd_runs();
void start_checks(const std::vector<std::string> &nodes);
// slurm.cpp
void run_slurm_health_check();

// run_checks.cpp: every check at once, each under the bound.
std::vector<run_result> run_checks(const settings &options, const check_plan &plan);
bool drop_privileges(const identity &user);

// judge.cpp: what each run comes to.
verdict judge(const settings &options, const planned_check &planned, const run_result &run);

// lines.cpp: the adapter's lines and exit status. The stage at which a check failed, as the metrics label it.
std::string failed_stage(const settings &options, const verdict &judged);
// The lines of every check, worst first, and what follows them on
// standard error; status: the worst outcome's severity, as a number.
output adapter_output(const settings &options, const check_plan &plan, const machine_verdict &machine,
                      const std::vector<verdict> &verdicts);
severity worst_of(const machine_verdict &machine, const std::vector<verdict> &verdicts);
std::string seconds(long milliseconds); // as metrics give durations: 0.093
// plugin.cpp: the same lines as a monitoring plugin gives them.
output plugin_output(const settings &options, const check_plan &plan, const machine_verdict &machine,
                     const std::vector<verdict> &verdicts);

// metrics.cpp
std::string metrics_text(const settings &options, const check_plan &plan, const machine_verdict &machine,
                         const std::vector<verdict> &verdicts);
void write_metrics(const settings &options, const std::string &text);
int publish_metrics(const std::string &source, const std::string &destination);
// Whether a check's GPU has its own unit that publishes it beside file
// (kalpex-pci-0000:3b:00.0.prom): node_exporter refuses a series twice.
bool published_beside(const std::string &file, const planned_check &planned);
