// SPDX-License-Identifier: MIT
// The monitoring plugin's output (check_kalpex): the adapter's lines in the
// Monitoring Plugins' form, with the plugin's own warnings (a narrow PCIe
// link, a slow check), its performance data and its statuses.

#include "monitor.h"

#include "../app/lines.h"

#include <algorithm>
#include <tuple>

// Whether kalpex ran, so that the check's time means something: not for a
// check stuck behind an earlier one, or a kalpex that could not start.
static bool measured(const verdict &judged)
{
    return judged.run->pid > 0 && judged.ended_by != ending::cannot_run;
}

// The monitoring plugin's form of the same lines: "KALPEX STATE - " and the
// worst line, then each check's time (with the -w and -c thresholds), the
// GPUs found (and expected, as the critical range) and the render nodes as
// performance data; the other lines follow as long output.
output plugin_output(const settings &options, const check_plan &plan, const machine_verdict &machine,
                     const std::vector<verdict> &verdicts)
{
    output lines = adapter_output(options, plan, machine, verdicts);
    std::string &out = lines.out;
    severity worst = worst_of(machine, verdicts);
    // What the plugin adds of its own: a PCIe link narrower than both its
    // ends support is a warning (the GPU renders, slowly), and so is a
    // check slower than -w; one slower than -c is critical. Each leads
    // where nothing worse does.
    // A GPU's link is its own, not a path's: said with its first path.
    std::vector<std::pair<severity, std::string>> notes;
    const auto link_said = [](const verdict &judged) {
        return judged.planned->first_of_gpu && judged.gpu && judged.gpu->link;
    };
    for (const verdict &judged : verdicts) {
        const std::optional<gpu_identity> &gpu = judged.gpu;
        const std::string on = " on " + judged.planned->label + (gpu ? identity_text(*gpu) : "");
        if (link_said(judged) && link_degraded(*gpu->link))
            notes.emplace_back(severity::software_pass, LINE_PREFIX "WARNING PCIe link x" + std::to_string(gpu->link->width) +
                                                            " of x" + std::to_string(gpu->link->max_width) + on);
        const long took_ms = judged.run->ended_ms - judged.run->started_ms;
        if (!measured(judged))
            continue;
        for (const auto &[limit, level, word] : {std::tuple(options.critical_ms, severity::failure, "CRITICAL"),
                                                 std::tuple(options.warning_ms, severity::software_pass, "WARNING")}) {
            if (limit && took_ms > *limit) {
                notes.emplace_back(level, std::string(LINE_PREFIX) + word + " check took " + seconds(took_ms) + " s" + on +
                                              ", over " + seconds(*limit) + " s");
                break;
            }
        }
    }
    // Critical notes first, then warnings, each in the checks' order.
    std::string before, after;
    for (const severity level : {severity::failure, severity::software_pass}) {
        for (const auto &[note_level, line] : notes) {
            if (note_level == level)
                (level > worst ? before : after) += line + "\n";
        }
    }
    out = before + out + after;
    for (const auto &note : notes)
        worst = std::max(worst, note.first);
    // The performance data follows the only '|' of the first line.
    std::replace(out.begin(), out.end(), '|', '/');
    const auto threshold = [](const std::optional<long> &limit) { return limit ? seconds(*limit) : ""; };
    std::string performance;
    for (const verdict &judged : verdicts) {
        const std::optional<gpu_identity> &gpu = judged.gpu;
        std::string label = judged.planned->label;
        std::replace_if(label.begin(), label.end(), [](char byte) { return byte == '\'' || byte == '='; }, '_');
        // A check's time is its path's; the link is the GPU's.
        const std::string check_label = plan.name_apis ? label + " " + api_name(judged.planned->api) : label;
        // A check that never started (stuck, or kalpex could not run) took
        // no time worth a number: its value is left out.
        if (measured(judged))
            performance += " '" + check_label + "'=" + seconds(judged.run->ended_ms - judged.run->started_ms) + "s;" +
                           threshold(options.warning_ms) + ";" + threshold(options.critical_ms) + ";0";
        // The link's width, with the warning range below the most its
        // ends support.
        if (link_said(judged)) {
            const std::string most = std::to_string(gpu->link->max_width);
            performance.append(" '").append(label).append(" PCIe width'=").append(std::to_string(gpu->link->width))
                .append(";").append(most).append(":;;0;").append(most);
        }
    }
    const std::string expected = options.expected_nodes ? std::to_string(options.expected_nodes) + ":" : "";
    performance += " gpus=" + std::to_string(plan.gpus) + ";;" + expected + ";0 render_nodes=" +
                   std::to_string(plan.render_nodes) + ";;;0";
    const char *state = "OK";
    int status = 0;
    switch (worst) {
    case severity::not_applicable:
    case severity::hardware_pass:
        break;
    case severity::software_pass:
        state = "WARNING", status = 1;
        break;
    case severity::unknown:
        state = "UNKNOWN", status = 3;
        break;
    case severity::failure:
        state = "CRITICAL", status = 2;
        break;
    }
    const size_t first_end = out.find('\n');
    lines.out = std::string("KALPEX ") + state + " - " + out.substr(0, first_end) + " |" + performance + "\n" +
                out.substr(first_end + 1);
    lines.status = status;
    return lines;
}
