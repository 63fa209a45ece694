// SPDX-License-Identifier: MIT
// kalpex-monitor: checks every GPU's node with kalpex, in parallel and each
// under a bound, and says what monitors read.
//
// usage: kalpex-monitor [--timeout=SECONDS] [--textfile=FILE] [--expect=N] [--user=NAME]
//                       [--gpu=GPU] [--api=LIST] [--allow-no-gpu] [--] [--require-hw] [NODE...]
//        kalpex-monitor --publish=SOURCE FILE
//        kalpex-monitor --kernel-event
//   --timeout   the bound on each check (default 60 s); then SIGTERM, 5 s
//               later SIGKILL, and 1 s after that it is given up on as stuck
//   --textfile  also write Prometheus metrics to FILE, if its folder exists
//   --expect    the machine must have at least N GPUs
//   --api       the paths to check: gbm, egl-device, vulkan (default: all)
//   --user      started by root, run kalpex as this user (default kalpex)
//   --gpu       the GPU to check, as its unit names it (pci-0000:3b:00.0)
//   --allow-no-gpu  a machine with no GPU checks nothing and passes
//   --publish   root's step after an unprivileged check: copy the metrics it
//               wrote to SOURCE into FILE, or remove FILE if it left none
//   --kernel-event  run by udev on a GPU's wedge report or a node's removal:
//               keep the report for the checks and start them at once
// KALPEX names the kalpex to run (default: the installed one). The options
// may come anywhere before "--"; any other word is kalpex's: --require-hw,
// or a node. With no node, every render node is checked, or where there is
// none, kalpex's own default node. An unknown option is refused (exit 2).
//
// Standard output leads with the worst check's FAIL or PASS line, then the
// other checks'; the rest of what kalpex wrote follows on standard error.
// Exit status: 0 every check passed, 1 any failed, 2 kalpex could not be run.

#include "monitor.h"

#include "../app/lines.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// How a front end writes its verdicts.
using writer = output (*)(const settings &, const check_plan &, const machine_verdict &,
                          const std::vector<verdict> &);

// The stages both front ends share: the plan, the run, the judge, then
// the front end's writer, the checks' answers to the kernel's reports, and
// the metrics.
static int check_machine(const settings &options, const std::vector<std::string> &render_nodes, bool plugin,
                         writer write_output)
{
    // The display devices that have no render node: GPUs to check where no
    // node is given, and named when GPUs are missing, and in the metrics.
    machine_verdict machine;
    if (options.nodes.empty() || options.gpu || options.expected_nodes || options.textfile)
        machine.displays = displays_without_node();
    const check_plan plan = plan_checks(options, render_nodes, machine.displays, plugin);
    const std::vector<run_result> runs = run_checks(options, plan);
    machine.short_of_gpus = options.expected_nodes && plan.gpus < options.expected_nodes;
    std::vector<verdict> verdicts;
    verdicts.reserve(runs.size());
    for (size_t i = 0; i < runs.size(); ++i)
        verdicts.push_back(judge(options, plan.checks[i], runs[i]));
    for (const verdict &judged : verdicts)
        record_answer(judged, machine);

    const output written = write_output(options, plan, machine, verdicts);
    // A reader gone early changes nothing: the exit status still answers.
    (void)write_all(1, written.out);
    (void)write_all(2, written.err);
    if (options.textfile) {
        std::vector<verdict> published;
        for (const verdict &judged : verdicts) {
            if (!published_beside(*options.textfile, *judged.planned))
                published.push_back(judged);
        }
        write_metrics(options, metrics_text(options, plan, machine, published));
    }
    return written.status;
}

// The monitoring plugin (check_kalpex): its command line, lines and
// statuses; 3 where it cannot go on.
static int plugin_main(int argc, char **argv, settings &options)
{
    if (!scan_plugin_options(argc, argv, options) || !choose_identity(options))
        return 3;
    return check_machine(options, find_render_nodes(), true, plugin_output);
}

static int adapter_main(int argc, char **argv, settings &options)
{
    bool done = false; // --help or --version answered
    if (!scan_options(argc, argv, options, done))
        return done ? 0 : 2;
    // A GPU's unit by its node's number leaves the check to the unit named
    // by its slot, and withdraws what it published: one GPU, published once.
    if (const std::optional<std::string> slot = renamed_unit(options)) {
        (void)printf(LINE_PREFIX "%s is checked as %s (kalpex@%s.service): nothing checked under its number\n",
                     options.gpu.value_or("").c_str(), slot->c_str(), slot->c_str());
        if (options.textfile)
            (void)unlink(options.textfile->c_str());
        return 0;
    }
    if (!choose_identity(options))
        return 2;
    const std::vector<std::string> render_nodes = find_render_nodes();
    // Where one configuration serves every machine of a cluster, those with
    // no GPU are left alone when asked to be: nothing is checked there.
    if (options.allow_no_gpu && !options.expected_nodes && options.nodes.empty() && render_nodes.empty()) {
        const std::vector<gpu_identity> displays = displays_without_node();
        if (std::all_of(displays.begin(), displays.end(), management_display)) {
            (void)puts(LINE_PREFIX "no GPU on this machine (no render node, and no display device but a management "
                                   "controller's): nothing checked");
            return 0;
        }
    }
    return check_machine(options, render_nodes, false, adapter_output);
}

int main(int argc, char **argv)
{
    // A reader that leaves early must not turn the verdict into a signal.
    (void)signal(SIGPIPE, SIG_IGN);

    if (argc == 3 && strncmp(argv[1], "--publish=", 10) == 0)
        return publish_metrics(argv[1] + 10, argv[2]);
    if (argc == 2 && strcmp(argv[1], "--kernel-event") == 0)
        return handle_kernel_event();

    settings options;
    if (const char *kalpex = getenv("KALPEX"); kalpex && *kalpex)
        options.kalpex = kalpex;
    // Installed as check_kalpex, it is a monitoring plugin: the same checks,
    // its command line, lines and statuses.
    const std::string_view program = argv[0] ? argv[0] : "";
    const bool plugin = program.substr(program.rfind('/') + 1) == "check_kalpex";
    // The paths every route checks, from /etc/default/kalpex; --api is
    // read after it and wins.
    if (const char *apis = getenv("KALPEX_APIS"); apis && *apis && !api_list(apis, options.apis)) {
        (void)printf(plugin ? "KALPEX UNKNOWN - KALPEX_APIS takes a list of gbm, egl-device and vulkan, not '%s'\n"
                            : UNKNOWN_LINE "KALPEX_APIS takes a list of gbm, egl-device and vulkan, not '%s'\n",
                     apis);
        return plugin ? 3 : 2;
    }
    if (plugin)
        return plugin_main(argc, argv, options);
    return adapter_main(argc, argv, options);
}
