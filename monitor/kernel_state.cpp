// SPDX-License-Identifier: MIT
// The kernel's reports about each node's GPU, as the event handler keeps
// them in the state folder, and what the checks answered since: a wedge
// stands until a check passes in hardware after it. This file owns the
// state folder, its files' names and their lines.

#include "monitor.h"

#include <algorithm>
#include <sys/stat.h>

// Where the kernel's reports about the GPUs are kept, for every user's
// checks to read: the unit's runtime folder, else /run/kalpex, where root's
// event handler writes them (the unit's folder there). One of the state's
// writers owns it; root makes it where it is missing.
std::optional<std::string> state_folder()
{
    const std::string folder = unit_runtime_folder().value_or("/run/kalpex");
    if (geteuid() == 0)
        (void)mkdir(folder.c_str(), 0755);
    return guarded_folder(folder, state_writers()) ? std::optional(folder) : std::nullopt;
}

static std::string state_path(const std::string &folder, const std::string &node)
{
    return folder + "/" + node_file_name(node);
}

// WEDGED=: recovery methods, comma-separated (rebind, bus-reset,
// vendor-specific), or none. A later kernel may name a new method: any name
// of lower-case letters, digits and dashes is taken.
bool method_list(std::string_view methods)
{
    if (methods.empty() || methods.size() > 128)
        return false;
    const std::vector<std::string_view> names = split(methods, ',');
    return std::all_of(names.begin(), names.end(), [](std::string_view method) {
        return !method.empty() && method.size() <= 32 && method[0] >= 'a' && method[0] <= 'z' &&
               method.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string_view::npos;
    });
}

// What the kernel reported, as the event handler keeps it: five numbers
// and two method lists, "-" for one not yet reported. A line an earlier
// version wrote has the last event's time as its second number, which is
// passed over: a wedge reported before an upgrade still stands.
static std::optional<kernel_record> read_kernel_record(const std::string &path)
{
    std::vector<std::string> words = read_state_line(path, state_writers()).value_or(std::vector<std::string>{});
    if (words.size() == 8)
        words.erase(words.begin() + 1);
    if (words.size() != 7)
        return std::nullopt;
    long long numbers[5];
    for (size_t i = 0; i < 5; ++i) {
        const std::optional<long long> number = decimal_number(words[i]);
        if (!number)
            return std::nullopt;
        numbers[i] = *number;
    }
    std::string methods[2];
    for (size_t i = 0; i < 2; ++i) {
        methods[i] = words[5 + i] == "-" ? "" : words[5 + i];
        if (!methods[i].empty() && !method_list(methods[i]))
            return std::nullopt;
    }
    return kernel_record{numbers[0], numbers[1], numbers[2], numbers[3], numbers[4], methods[0], methods[1]};
}

// What the checks answered: two numbers.
static answer_record read_answer(const std::string &path)
{
    const std::vector<std::string> words =
        read_state_line(path, state_writers()).value_or(std::vector<std::string>{});
    const std::optional<long long> seen = words.size() == 2 ? decimal_number(words[0]) : std::nullopt;
    const std::optional<long long> pass = words.size() == 2 ? decimal_number(words[1]) : std::nullopt;
    return seen && pass ? answer_record{*seen, *pass} : answer_record{};
}

void read_kernel_state(planned_check &planned)
{
    if (planned.state_path.empty())
        return;
    planned.kernel = read_kernel_record(planned.state_path + ".kernel");
    if (planned.kernel)
        planned.answered = read_answer(planned.state_path + ".answered");
}

std::optional<std::string> standing_wedge(const planned_check &planned)
{
    if (!planned.kernel || planned.kernel->wedge_event <= planned.answered.passed)
        return std::nullopt;
    return planned.kernel->wedge_methods;
}

bool after_kernel_event(const planned_check &planned)
{
    return planned.kernel && planned.kernel->events > planned.answered.seen;
}

// A check that passed (in hardware while a wedge stands), on a machine
// with all its GPUs, answers the events before it started.
bool answers_kernel_events(const verdict &judged, const machine_verdict &machine)
{
    return passed(judged) && !machine.short_of_gpus;
}

// A check that ran to its end has seen the events before it started.
void record_answer(const verdict &judged, const machine_verdict &machine)
{
    const planned_check &planned = *judged.planned;
    if (!planned.kernel || judged.run->terminated_by)
        return;
    const std::string path = planned.state_path + ".answered";
    const size_t slash = path.rfind('/');
    if (access(path.substr(0, slash).c_str(), W_OK) != 0)
        return; // a reader only, such as a monitoring plugin's user
    // Another check of the node may have answered meanwhile.
    answer_record answer = read_answer(path);
    const answer_record before = answer;
    answer.seen = std::max(answer.seen, planned.kernel->events);
    if (answers_kernel_events(judged, machine))
        answer.passed = std::max(answer.passed, planned.kernel->events);
    if (answer.seen != before.seen || answer.passed != before.passed)
        (void)replace_file(path, state_line({std::to_string(answer.seen), std::to_string(answer.passed)}));
}

// One more event for a node; methods: the WEDGED= report it carries, or
// none for a node that stays while another goes.
void record_event(const std::string &folder, const std::string &node, time_t now, const char *methods)
{
    const std::string path = state_path(folder, node) + ".kernel";
    kernel_record record = read_kernel_record(path).value_or(kernel_record{});
    record.events += 1;
    if (methods) {
        record.report = methods;
        record.report_time = now;
        if (record.report == "none") {
            record.resets += 1;
        } else {
            record.wedges += 1;
            record.wedge_event = record.events;
            record.wedge_methods = methods;
        }
    }
    std::vector<std::string> words;
    for (const long long number : {record.events, record.wedge_event, record.wedges, record.resets, record.report_time})
        words.push_back(std::to_string(number));
    words.push_back(record.report.empty() ? "-" : record.report);
    words.push_back(record.wedge_methods.empty() ? "-" : record.wedge_methods);
    (void)replace_file(path, state_line(words));
}

// A node that goes away takes its reports with it: the GPU that comes back
// (a rebind, a bus reset) starts anew.
void forget(const std::string &folder, const std::string &node)
{
    for (const char *suffix : {".kernel", ".answered"})
        (void)unlink((state_path(folder, node) + suffix).c_str());
}
