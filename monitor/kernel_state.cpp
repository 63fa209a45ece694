// SPDX-License-Identifier: MIT
// The kernel's reports about each node's GPU, as the event handler keeps
// them in the state folder, and what the checks answered since: a wedge
// stands until a check passes in hardware after it.

#include "monitor.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>

// A state file's one line, from one of the state's writers.
static std::optional<std::string> read_state(const std::string &path)
{
    const std::vector<uid_t> writers = state_writers();
    const owned_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {
    };
    if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        std::find(writers.begin(), writers.end(), status.st_uid) == writers.end())
        return std::nullopt;
    char text[512];
    const ssize_t got = read(file.fd, text, sizeof text);
    if (got <= 0 || got == sizeof text || text[got - 1] != '\n')
        return std::nullopt;
    return std::string(text, static_cast<size_t>(got - 1));
}

// What the kernel reported, as the event handler keeps it: six numbers and
// two method lists, "-" for one not yet reported.
static std::optional<kernel_record> read_kernel_record(const std::string &path)
{
    const std::optional<std::string> line = read_state(path);
    const std::vector<std::string_view> words = line ? split(*line, ' ') : std::vector<std::string_view>{};
    if (words.size() != 8)
        return std::nullopt;
    long long numbers[6];
    for (size_t i = 0; i < 6; ++i) {
        const std::optional<long long> number = decimal_number(words[i]);
        if (!number)
            return std::nullopt;
        numbers[i] = *number;
    }
    std::string methods[2];
    for (size_t i = 0; i < 2; ++i) {
        methods[i] = words[6 + i] == "-" ? "" : std::string(words[6 + i]);
        if (!methods[i].empty() && !method_list(methods[i]))
            return std::nullopt;
    }
    return kernel_record{numbers[0], numbers[1], numbers[2], numbers[3],
                         numbers[4], numbers[5], methods[0], methods[1]};
}

// What the checks answered: two numbers.
static answer_record read_answer(const std::string &path)
{
    const std::optional<std::string> line = read_state(path);
    const std::vector<std::string_view> words = line ? split(*line, ' ') : std::vector<std::string_view>{};
    const std::optional<long long> seen = words.size() == 2 ? decimal_number(words[0]) : std::nullopt;
    const std::optional<long long> passed = words.size() == 2 ? decimal_number(words[1]) : std::nullopt;
    return seen && passed ? answer_record{*seen, *passed} : answer_record{};
}

void read_kernel_state(check &c)
{
    if (c.state_path.empty())
        return;
    c.kernel = read_kernel_record(c.state_path + ".kernel");
    if (c.kernel)
        c.answered = read_answer(c.state_path + ".answered");
}

std::optional<std::string> standing_wedge(const check &c)
{
    if (!c.kernel || c.kernel->wedge_event <= c.answered.passed)
        return std::nullopt;
    return c.kernel->wedge_methods;
}

bool after_kernel_event(const check &c)
{
    return c.kernel && c.kernel->events > c.answered.seen;
}

// A check that passed (in hardware while a wedge stands), on a machine
// with all its GPUs, answers the events before it started.
bool answers_kernel_events(const check &c)
{
    return c.outcome <= severity::software_pass && !c.short_of_gpus;
}

// A check that ran to its end has seen the events before it started.
void record_answer(const check &c)
{
    if (!c.kernel || c.terminated_by)
        return;
    const std::string path = c.state_path + ".answered";
    const size_t slash = path.rfind('/');
    if (access(path.substr(0, slash).c_str(), W_OK) != 0)
        return; // a reader only, such as a monitoring plugin's user
    // Another check of the node may have answered meanwhile.
    answer_record answer = read_answer(path);
    const answer_record before = answer;
    answer.seen = std::max(answer.seen, c.kernel->events);
    if (answers_kernel_events(c))
        answer.passed = std::max(answer.passed, c.kernel->events);
    if (answer.seen != before.seen || answer.passed != before.passed)
        (void)replace_file(path, std::to_string(answer.seen) + " " + std::to_string(answer.passed) + "\n");
}

static std::string state_path(const std::string &folder, const std::string &node)
{
    return folder + "/" + node_file_name(node);
}

// One more event for a node; methods: the WEDGED= report it carries, or
// none for a node that stays while another goes.
void record_event(const std::string &folder, const std::string &node, time_t now, const char *methods)
{
    const std::string path = state_path(folder, node) + ".kernel";
    kernel_record record = read_kernel_record(path).value_or(kernel_record{});
    record.events += 1;
    record.event_time = now;
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
    std::string line;
    for (const long long number : {record.events, record.event_time, record.wedge_event, record.wedges,
                                   record.resets, record.report_time})
        line += std::to_string(number) + " ";
    line += (record.report.empty() ? "-" : record.report) + " ";
    line += (record.wedge_methods.empty() ? "-" : record.wedge_methods) + "\n";
    (void)replace_file(path, line);
}

// A node that goes away takes its reports with it: the GPU that comes back
// (a rebind, a bus reset) starts anew.
void forget(const std::string &folder, const std::string &node)
{
    for (const char *suffix : {".kernel", ".answered"})
        (void)unlink((state_path(folder, node) + suffix).c_str());
}

