// SPDX-License-Identifier: MIT
// The adapter's and the plugin's command lines: their options, help and
// refusals, and the GPU a unit names.

#include "monitor.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

static bool whole_number(std::string_view digits, unsigned highest, unsigned &value)
{
    const std::optional<long long> number = decimal_number(digits);
    if (!number || *number < 1 || *number > highest)
        return false;
    value = static_cast<unsigned>(*number);
    return true;
}

static const char adapter_usage[] =
    "usage: kalpex-monitor [--timeout=SECONDS] [--textfile=FILE] [--expect=N] [--user=NAME] [--gpu=GPU]\n"
    "                      [--api=LIST] [--allow-no-gpu] [--] [--require-hw] [NODE...]\n";

static const char adapter_help[] = R"(
Checks that headless GPU rendering works on the GPUs of this machine, on
each path workloads render through: GLES on GBM (kalpex), EGL's device
platform (kalpex-egl-device) and Vulkan (kalpex-vulkan), each check a probe
run as a child process, all at once, each under a bound. With no node
given, every render node is checked, and every GPU that has none (on the
paths that need no DRM node); where there is no GPU, each probe's own
default.

Options (anywhere before --; a value after = or as the next word):
 --timeout=SECONDS  the bound on each check (default 60): then SIGTERM, 5 s
                    later SIGKILL, and 1 s after that it is given up on
 --textfile=FILE    also write Prometheus metrics to FILE, if its folder exists
 --expect=N         the machine must have at least N GPUs
 --api=LIST         the paths to check, of gbm, egl-device and vulkan
                    (default KALPEX_APIS, else all three)
 --user=NAME        started by root, run kalpex as NAME (default kalpex)
 --gpu=GPU          check this GPU, as its unit names it: udev's path of its
                    device (pci-0000:3b:00.0) or its node (renderD128); the
                    lines name it whatever the outcome
 --allow-no-gpu     a machine with no GPU (no render node, and no display
                    device but a management controller's) checks nothing and
                    passes, saying so
 --require-hw       kalpex's own: a software rasteriser fails the check
 NODE               a node to check (a path; what follows -- is kalpex's)
 -h, --help         this help
 -V, --version      the version
KALPEX names the kalpex to run (default )";
static const char adapter_help_end[] = R"(), the other probes
are beside it.

Standard output leads with the worst check's line, then the other checks';
the rest of what kalpex wrote follows on standard error, each node's part
beginning with its node. Exit status: 0 every check passed, 1 any failed,
2 kalpex could not be run or the command line was refused (nothing is
checked then). See kalpex-monitor(8).
)";

// What a refused command line says: the word and the usage, as the first
// line of a check that could not run, and nothing is checked.
static bool refuse(std::string_view why)
{
    (void)printf("kalpex: UNKNOWN %.*s (see kalpex-monitor --help)\n", static_cast<int>(why.size()), why.data());
    (void)fputs(adapter_usage, stderr);
    return false;
}

// The adapter's options, each with a value (--timeout=30 or --timeout 30).
static bool adapter_option(std::string_view name)
{
    return name == "--timeout" || name == "--expect" || name == "--textfile" || name == "--user" || name == "--gpu" ||
           name == "--api";
}

// The node of a GPU named as its unit names it: a node's own name
// (renderD128), or udev's path of its device (pci-0000:3b:00.0, or a bare
// PCI address; platform-vgem), whose render node udev links in
// /dev/dri/by-path. None for a name that is no file name.
static std::optional<std::string> gpu_node(std::string_view gpu)
{
    if (gpu.empty() || gpu.find('/') != std::string_view::npos || gpu == "." || gpu == "..")
        return std::nullopt;
    if (numbered(gpu, "renderD") || numbered(gpu, "card"))
        return "/dev/dri/" + std::string(gpu);
    return "/dev/dri/by-path/" + std::string(pci_address(gpu) ? "pci-" : "") + std::string(gpu) + "-render";
}

std::optional<std::string> renamed_unit(const settings &options)
{
    if (!options.gpu || !numbered(*options.gpu, "renderD") || options.nodes.size() != 1)
        return std::nullopt;
    const std::vector<std::string> names = unit_instances(options.nodes[0]);
    return names.empty() || names[0] == *options.gpu ? std::nullopt : std::optional(names[0]);
}

// The adapter's options are taken anywhere before "--"; --require-hw and
// every word that is no option are kalpex's, and so is everything after
// "--". A word that looks like an option but is none, or an adapter option
// among kalpex's arguments, is refused rather than handed to kalpex as a
// node: a slip in a setting must not read as a failing GPU.
bool scan_options(int argc, char **argv, settings &options, bool &done)
{
    bool kalpex_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const std::string_view name = argument.substr(0, argument.find('='));
        if (argument == "--" && !kalpex_only) {
            kalpex_only = true;
        } else if (argument == "--require-hw") {
            options.require_hw = true;
        } else if (!starts_with(argument, "-")) {
            options.nodes.emplace_back(argument);
        } else if (kalpex_only) {
            return refuse(adapter_option(name) || argument == "--allow-no-gpu"
                              ? std::string(argument) + " is kalpex-monitor's own option: give it before --"
                              : "unknown argument " + std::string(argument) + " for kalpex (only --require-hw and nodes)");
        } else if (argument == "-h" || argument == "--help" || argument == "-V" || argument == "--version") {
            (void)printf("kalpex-monitor %s\n", KALPEX_VERSION);
            if (argument == "-h" || argument == "--help")
                (void)printf("%s%s%s%s", adapter_usage, adapter_help, KALPEX_DEFAULT, adapter_help_end);
            done = true;
            return false;
        } else if (argument == "--allow-no-gpu") {
            options.allow_no_gpu = true;
        } else if (!adapter_option(name)) {
            return refuse("unknown option " + std::string(argument));
        } else {
            const bool joined = name.size() < argument.size();
            if (!joined && i + 1 >= argc)
                return refuse(std::string(name) + " needs a value");
            const std::string_view value = joined ? argument.substr(name.size() + 1) : argv[++i];
            if (name == "--timeout" && !whole_number(value, 24 * 3600, options.bound))
                return refuse("--timeout takes a whole number of seconds above 0, not '" + std::string(value) + "'");
            if (name == "--expect" && !whole_number(value, 4096, options.expected_nodes))
                return refuse("--expect takes a whole number of GPUs above 0, not '" + std::string(value) + "'");
            if (name == "--api" && !api_list(value, options.apis))
                return refuse("--api takes a list of gbm, egl-device and vulkan, not '" + std::string(value) + "'");
            if (name == "--textfile")
                options.textfile = value;
            if (name == "--user")
                options.user = value;
            if (name == "--gpu") {
                const std::optional<std::string> node = gpu_node(value);
                if (!node)
                    return refuse("--gpu takes a render node's name or its device's path, not '" + std::string(value) + "'");
                options.nodes.push_back(*node);
                options.gpu = value;
            }
        }
    }
    return true;
}

static const char plugin_help[] = R"(
Checks that headless GPU rendering works through every DRM render node of
this machine, running kalpex on each, all at once, each under a bound.

Usage: check_kalpex [-t SECONDS] [-w SECONDS] [-c SECONDS] [--expect=N] [--api=LIST] [--require-hw] [NODE...]

Options:
 -h, --help       this help
 -V, --version    the version
 -t, --timeout=SECONDS
                  the bound on each check (default 10): a check still running
                  is ended, one stuck in the kernel is given up on 6 s later
 -w, --warning=SECONDS
                  a check that takes longer is WARNING (2 or 2.5)
 -c, --critical=SECONDS
                  a check that takes longer is CRITICAL
 --expect=N       the machine must have at least N GPUs
 --api=LIST       the paths to check, of gbm, egl-device and vulkan
                  (default KALPEX_APIS, else all three)
 --require-hw     a software rasteriser is CRITICAL rather than WARNING
 NODE             a node to check; with none, every render node
KALPEX names the kalpex to run (default )";
static const char plugin_help_end[] = R"().

OK: every node rendered on hardware, in time. WARNING: a software
rasteriser answered, a GPU's PCIe link trained narrower than both of its
ends support, or a check took longer than -w. CRITICAL: a check failed, hung
or is still stuck, took longer than -c, or GPUs are missing.
UNKNOWN: kalpex could not be run, or the command line is wrong. The
performance data gives each check's time (left out for one that never
started), each GPU's link width and the render nodes found. The user that
runs the check needs the group of the render nodes (usermod -aG render
nagios). See check_kalpex(8).
)";

// A threshold in seconds (2, 2.5, 0.25; up to a day), as milliseconds: read
// as whole numbers, which keeps floating-point parsing out of the binary.
static std::optional<long> milliseconds(std::string_view text)
{
    const size_t point = text.find('.');
    const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
    if (fraction.size() > 3 || (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    std::string thousandths(fraction);
    thousandths.resize(3, '0');
    const std::optional<long long> whole = decimal_number(text.substr(0, point)), part = decimal_number(thousandths);
    constexpr long long most = 24LL * 3600 * 1000; // a day
    if (!whole || !part || *whole > most / 1000 || *whole * 1000 + *part == 0 || *whole * 1000 + *part > most)
        return std::nullopt;
    return static_cast<long>(*whole * 1000 + *part);
}

// The monitoring plugin's command line: -t, --expect, and kalpex's own
// arguments. Help, the version and a bad option end the run, with the
// UNKNOWN status plugins give them.
bool scan_plugin_options(int argc, char **argv, settings &options)
{
    options.bound = 10;
    bool only_nodes = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const std::string_view name = argument.substr(0, argument.find('='));
        const bool timeout = name == "-t" || name == "--timeout", expect = name == "--expect", api = name == "--api";
        const bool warning = name == "-w" || name == "--warning", critical = name == "-c" || name == "--critical";
        if (only_nodes || !starts_with(argument, "-")) {
            options.nodes.emplace_back(argument);
        } else if (argument == "--") {
            only_nodes = true;
        } else if (argument == "--require-hw") {
            options.require_hw = true;
        } else if (argument == "-h" || argument == "--help" || argument == "-V" || argument == "--version") {
            (void)printf("check_kalpex %s\n", KALPEX_VERSION);
            if (argument == "-h" || argument == "--help")
                (void)printf("%s%s%s", plugin_help, KALPEX_DEFAULT, plugin_help_end);
            return false;
        } else if (!timeout && !expect && !warning && !critical && !api) {
            (void)printf("KALPEX UNKNOWN - unknown option %s (see check_kalpex --help)\n", argv[i]);
            return false;
        } else {
            const std::string_view value =
                name.size() < argument.size() ? argument.substr(name.size() + 1) : i + 1 < argc ? argv[++i] : "";
            if (api) {
                if (!api_list(value, options.apis)) {
                    (void)printf("KALPEX UNKNOWN - --api takes a list of gbm, egl-device and vulkan\n");
                    return false;
                }
            } else if (warning || critical) {
                std::optional<long> &limit = warning ? options.warning_ms : options.critical_ms;
                limit = milliseconds(value);
                if (!limit) {
                    (void)printf("KALPEX UNKNOWN - %s takes seconds above 0 (2 or 2.5)\n", std::string(name).c_str());
                    return false;
                }
            } else if (timeout ? !whole_number(value, 24 * 3600, options.bound)
                               : !whole_number(value, 4096, options.expected_nodes)) {
                (void)printf("KALPEX UNKNOWN - %s takes a whole number above 0\n", std::string(name).c_str());
                return false;
            }
        }
    }
    return true;
}

bool api_list(std::string_view text, std::vector<probe_api> &apis)
{
    std::vector<probe_api> listed;
    for (const std::string_view word : split(text, ',')) {
        const probe_api all[] = {probe_api::gbm, probe_api::egl_device, probe_api::vulkan};
        const probe_api *named = std::find_if(std::begin(all), std::end(all),
                                              [&](probe_api api) { return word == api_name(api); });
        if (named == std::end(all))
            return false;
        if (std::find(listed.begin(), listed.end(), *named) == listed.end())
            listed.push_back(*named);
    }
    apis = std::move(listed);
    return true;
}

std::string probe_program(const settings &options, probe_api api)
{
    if (api == probe_api::gbm)
        return options.kalpex;
    const size_t slash = options.kalpex.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : options.kalpex.substr(0, slash + 1);
    return folder + "kalpex-" + api_name(api);
}
