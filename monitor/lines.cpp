// SPDX-License-Identifier: MIT
// The adapter's lines and its exit status, from the verdicts: each check's
// line (kalpex's own verdict, or the adapter's where a bound, a signal, a
// stuck check, a wedge or a kalpex that cannot start decided), worst
// first, and what kalpex wrote besides on standard error. Every line the
// adapter writes about a check is made here; plugin.cpp and metrics.cpp
// take them, and their stages, from here.

#include "monitor.h"

#include "../app/lines.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

static std::string signal_name(int signal_number)
{
    const char *name = sigabbrev_np(signal_number);
    return name ? std::string("SIG") + name : "SIGunknown signal";
}

static std::string utc_time(time_t when)
{
    char text[32];
    tm utc{};
    (void)strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&when, &utc));
    return text;
}

std::string seconds(long milliseconds)
{
    char text[32];
    (void)snprintf(text, sizeof text, "%ld.%03ld", milliseconds / 1000, milliseconds % 1000);
    return text;
}

static std::string within(const settings &options)
{
    return "no result within " + std::to_string(options.bound) + " s";
}

// The line of an earlier check of the node that still holds it, naming a
// process that is there.
static std::string stuck_line(const run_result &run)
{
    std::string line = FAIL_LINE "check stuck since " + utc_time(run.stuck_since) + " (process ";
    const std::string kalpex = std::to_string(run.stuck_kalpex);
    if (run.stuck_holder == run.stuck_kalpex)
        return line + kalpex + ")";
    if (run.stuck_holder)
        return line + std::to_string(run.stuck_holder) + ", left by process " + kalpex + ")";
    return line + kalpex + " has ended, a process it left holds the lock)";
}

// The adapter's line for what ended the check; kalpex's own verdict where
// that stands.
static std::string ending_line(const settings &options, const verdict &judged)
{
    switch (judged.ended_by) {
    case ending::kalpex:
    case ending::no_drm_node: // verdict_line says it whole
        break;
    case ending::stuck:
        return stuck_line(*judged.run);
    case ending::cannot_run:
        return UNKNOWN_LINE "cannot run " + probe_program(options, judged.planned->api) + ": " + judged.cannot_run_why;
    case ending::unkillable:
        return FAIL_LINE + within(options) + " (process " + std::to_string(judged.run->pid) + " could not be ended)";
    case ending::timed_out:
        return FAIL_LINE + within(options);
    case ending::terminated:
        return UNKNOWN_LINE "check terminated by " + signal_name(judged.run->terminated_by);
    case ending::killed:
        return FAIL_LINE "killed by " + signal_name(judged.signal);
    case ending::bad_exit:
        return FAIL_LINE "exit status " + std::to_string(judged.exit_status) +
               (judged.said.verdict.empty() ? " with no verdict line" : "");
    }
    return judged.said.verdict;
}

// The line that decides: a standing wedge's, else the ending's.
static std::string deciding_line(const settings &options, const verdict &judged)
{
    if (judged.wedge)
        return FAIL_LINE "device wedged (WEDGED=" + *judged.wedge + ") on " + judged.planned->label;
    return ending_line(options, judged);
}

// The lines the deciding line took the place of, the latest first: they
// lead what follows on standard error.
static std::string displaced_lines(const settings &options, const verdict &judged)
{
    std::string lines;
    if (judged.wedge && judged.ended_by != ending::kalpex)
        lines += ending_line(options, judged) + "\n";
    if (!judged.said.verdict.empty() && (judged.wedge || judged.ended_by != ending::kalpex))
        lines += judged.said.verdict + "\n";
    return lines;
}

std::string failed_stage(const settings &options, const verdict &judged)
{
    if (judged.wedge)
        return "device wedged";
    switch (judged.ended_by) {
    case ending::kalpex:
        break;
    case ending::no_drm_node:
        return "no DRM node";
    case ending::stuck:
        return "check stuck";
    case ending::cannot_run:
        return "cannot run";
    case ending::unkillable:
    case ending::timed_out:
        return within(options);
    case ending::terminated:
        return "terminated";
    case ending::killed:
        return "killed by " + signal_name(judged.signal);
    case ending::bad_exit:
        return "exit status " + std::to_string(judged.exit_status);
    }
    return judged.kalpex_stage;
}

// The GPU beside its label: slot and driver, or the driver alone where
// the label is the slot.
static std::string gpu_text(const verdict &judged)
{
    if (!judged.gpu)
        return "";
    return judged.gpu->pci_address == judged.planned->label ? " (" + driver_text(*judged.gpu) + ")"
                                                            : identity_text(*judged.gpu);
}

// The line of a check, as it leads standard output (its path named where
// another than GBM's is checked, its GPU where nodes are).
static std::string verdict_line(const settings &options, const check_plan &plan, const verdict &judged)
{
    const planned_check &planned = *judged.planned;
    if (judged.ended_by == ending::no_drm_node)
        return std::string(judged.level == severity::failure ? FAIL_LINE : LINE_PREFIX "SKIP ") + "gbm on " +
               planned.label + gpu_text(judged) + ": " +
               (plan.render_nodes ? "the GPU has no DRM node" : "the machine has no DRM node");
    std::string line = deciding_line(options, judged);
    // Several nodes: each line says which; a line that ends with the node
    // already (FAIL open) is left as it is. Beside the node, its GPU's slot
    // and driver, and why it did not open.
    const std::string named = " " + planned.label;
    const bool names_it =
        line.size() >= named.size() && line.compare(line.size() - named.size(), named.size(), named) == 0;
    if (plan.name_apis)
        line += std::string(" through ") + api_name(planned.api);
    if (plan.name_nodes && !names_it)
        line += " on " + planned.label;
    if (plan.name_nodes || names_it)
        line += gpu_text(judged);
    if (!judged.open_error.empty())
        line += ": " + judged.open_error;
    return line;
}

severity worst_of(const machine_verdict &machine, const std::vector<verdict> &verdicts)
{
    severity worst = machine.short_of_gpus ? severity::failure : severity::hardware_pass;
    for (const verdict &judged : verdicts)
        worst = std::max(worst, judged.level);
    return worst;
}

// The --expect line: the count, and the display devices that are no GPU
// this machine renders on.
static std::string short_of_gpus_line(unsigned expected, size_t found, const std::vector<gpu_identity> &displays)
{
    std::string line = FAIL_LINE "expected " + std::to_string(expected) + " GPUs, found " + std::to_string(found);
    std::string without;
    for (const gpu_identity &gpu : displays) {
        if (!renders_here(gpu))
            without += (without.empty() ? "" : "; ") + gpu.pci_address + ": " + driver_text(gpu);
    }
    return without.empty() ? line : line + " (" + without + ")";
}

output adapter_output(const settings &options, const check_plan &plan, const machine_verdict &machine,
                      const std::vector<verdict> &verdicts)
{
    output written;
    if (machine.short_of_gpus)
        written.out += short_of_gpus_line(options.expected_nodes, plan.gpus, machine.displays) + "\n";
    // Worst first; checks of the same severity keep the node order.
    std::vector<const verdict *> order;
    order.reserve(verdicts.size());
    for (const verdict &judged : verdicts)
        order.push_back(&judged);
    std::stable_sort(order.begin(), order.end(),
                     [](const verdict *left, const verdict *right) { return left->level > right->level; });
    for (const verdict *judged : order) {
        written.out += verdict_line(options, plan, *judged) + "\n";
        if (!plan.name_nodes && !judged->said.renderer.empty())
            written.out += judged->said.renderer + "\n";
    }
    // Each node's part begins with its node line, the renderer beneath it,
    // as kalpex wrote them; a verdict that the deciding line took the
    // place of follows.
    for (const verdict &judged : verdicts) {
        if (!judged.said.node.empty())
            written.err += judged.said.node + "\n";
        if (plan.name_nodes && !judged.said.renderer.empty())
            written.err += judged.said.renderer + "\n";
        written.err += displaced_lines(options, judged) + judged.said.rest;
    }
    const severity worst = worst_of(machine, verdicts);
    written.status = worst == severity::failure ? 1 : worst == severity::unknown ? 2 : 0;
    return written;
}
