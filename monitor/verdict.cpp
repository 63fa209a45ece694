// SPDX-License-Identifier: MIT
// Turns the checks into what monitors read: the lines, the exit status and
// the Prometheus metrics. Every line and metric the adapter writes is
// written here.

#include "monitor.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

void append(text &to, const char *bytes, size_t count)
{
    if (to.size + count + 1 > to.capacity) {
        size_t capacity = to.capacity ? to.capacity : 256;
        while (capacity < to.size + count + 1)
            capacity *= 2;
        auto *grown = static_cast<char *>(realloc(to.data, capacity));
        if (!grown)
            return; // out of memory: the line is lost, the verdict is not
        to.data = grown;
        to.capacity = capacity;
    }
    memcpy(to.data + to.size, bytes, count);
    to.size += count;
    to.data[to.size] = '\0';
}

void append_line(text &to, const char *line, size_t count)
{
    append(to, line, count);
    append(to, "\n", 1);
}

// printf's own form: the format attribute has the compiler check each call.
void append_format(text &to, const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    char buffer[512];
    va_list values;
    va_start(values, format);
    const int length = vsnprintf(buffer, sizeof buffer, format, values);
    va_end(values);
    if (length > 0)
        append(to, buffer,
               static_cast<size_t>(length) < sizeof buffer ? static_cast<size_t>(length) : sizeof buffer - 1);
}

static const char *text_of(const text &t)
{
    return t.data ? t.data : "";
}

static bool starts_with(const char *line, size_t length, const char *prefix)
{
    const size_t prefix_length = strlen(prefix);
    return length >= prefix_length && memcmp(line, prefix, prefix_length) == 0;
}

// Sorts one stream's lines: the first PASS or FAIL line decides, the first
// renderer line follows it, everything else is the rest. last_line, where
// given, keeps the stream's last line.
static void sort_lines(check &c, const text &stream, text *last_line)
{
    const char *line = text_of(stream);
    const char *end = line + stream.size;
    while (line < end) {
        const char *newline = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
        const size_t length = static_cast<size_t>((newline ? newline : end) - line);
        if (length > 0) {
            if (!c.verdict.size &&
                (starts_with(line, length, "kalpex: PASS ") || starts_with(line, length, "kalpex: FAIL ")))
                append(c.verdict, line, length);
            else if (!c.renderer.size && starts_with(line, length, "kalpex: GL_RENDERER="))
                append(c.renderer, line, length);
            else
                append_line(c.rest, line, length);
            if (last_line) {
                last_line->size = 0;
                append(*last_line, line, length);
            }
        }
        line += length + 1;
    }
}

// The stage a FAIL line names, as the metrics label it: "open" for a node
// that did not open, else the text up to the renderer.
static void stage_of(const char *verdict, text &stage)
{
    const char *from = verdict + strlen("kalpex: FAIL ");
    if (strncmp(from, "open ", 5) == 0) {
        append(stage, "open", 4);
        return;
    }
    const char *until = strstr(from, " (renderer: ");
    append(stage, from, until ? static_cast<size_t>(until - from) : strlen(from));
}

// An outcome kalpex could not report itself; a verdict line it wrote before
// it died stays among the rest.
static void set_own_verdict(check &c, const char *stage, const char *line)
{
    if (c.verdict.size) {
        text moved;
        append_line(moved, c.verdict.data, c.verdict.size);
        append(moved, text_of(c.rest), c.rest.size);
        free(c.rest.data);
        c.rest = moved;
    }
    c.verdict.size = 0;
    append(c.verdict, line, strlen(line));
    c.stage.size = 0;
    append(c.stage, stage, strlen(stage));
}

static const char *signal_name(int signal_number)
{
    const char *name = sigabbrev_np(signal_number);
    return name ? name : "unknown signal";
}

void judge(const settings &options, check &c)
{
    text last_error;
    sort_lines(c, c.out, nullptr);
    sort_lines(c, c.err, &last_error);

    char within[64], line[1024], stage[64];
    (void)snprintf(within, sizeof within, "no result within %u s", options.bound);
    const int status = WIFEXITED(c.wait_status) ? WEXITSTATUS(c.wait_status) : -1;
    const bool says = c.verdict.size > 0;
    const bool says_pass = says && strncmp(c.verdict.data, "kalpex: PASS ", 13) == 0;
    const char *own_stage = stage;

    if (c.stuck_since) {
        char since[32];
        tm utc{};
        (void)strftime(since, sizeof since, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&c.stuck_since, &utc));
        (void)snprintf(line, sizeof line, "kalpex: FAIL check stuck since %s (process %ld)", since,
                       c.stuck_pid);
        own_stage = "check stuck";
    } else if (c.spawn_error || status == 126 || status == 127) {
        (void)snprintf(line, sizeof line, "kalpex: UNKNOWN cannot run %s: %s", options.kalpex,
                       c.spawn_error ? c.spawn_error : text_of(last_error));
        own_stage = "cannot run";
    } else if (c.unkillable) {
        (void)snprintf(line, sizeof line, "kalpex: FAIL %s (process %ld could not be ended)", within,
                       static_cast<long>(c.pid));
        own_stage = within;
    } else if (c.timed_out) {
        (void)snprintf(line, sizeof line, "kalpex: FAIL %s", within);
        own_stage = within;
    } else if (c.terminated_by) {
        (void)snprintf(line, sizeof line, "kalpex: UNKNOWN check terminated by SIG%s",
                       signal_name(c.terminated_by));
        own_stage = "terminated";
    } else if (WIFSIGNALED(c.wait_status)) {
        (void)snprintf(stage, sizeof stage, "killed by SIG%s", signal_name(WTERMSIG(c.wait_status)));
        (void)snprintf(line, sizeof line, "kalpex: FAIL %s", stage);
    } else if (!((status == 0 && says_pass) || (status == 1 && says && !says_pass))) {
        (void)snprintf(stage, sizeof stage, "exit status %d", status);
        (void)snprintf(line, sizeof line, "kalpex: FAIL %s%s", stage, says ? "" : " with no verdict line");
    } else {
        own_stage = nullptr;
        if (!says_pass)
            stage_of(c.verdict.data, c.stage);
    }
    if (own_stage)
        set_own_verdict(c, own_stage, line);
    free(last_error.data);

    const char *verdict = text_of(c.verdict);
    if (strcmp(verdict, "kalpex: PASS (HARDWARE)") == 0)
        c.outcome = severity::hardware_pass;
    else if (strncmp(verdict, "kalpex: PASS ", 13) == 0)
        c.outcome = severity::software_pass;
    else if (strncmp(verdict, "kalpex: UNKNOWN ", 16) == 0)
        c.outcome = severity::unknown;
    else
        c.outcome = severity::failure;
}

static bool put(int fd, const text &t)
{
    const char *from = t.data;
    size_t left = t.size;
    while (left > 0) {
        const ssize_t wrote = write(fd, from, left);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        from += wrote;
        left -= static_cast<size_t>(wrote);
    }
    return true;
}

int report(const check *checks, size_t count, bool name_nodes, const text &machine_failure)
{
    // Worst first; checks of the same severity keep the node order.
    auto *order = static_cast<size_t *>(calloc(count ? count : 1, sizeof(size_t)));
    if (!order)
        return 2;
    for (size_t i = 0; i < count; ++i) {
        size_t at = i;
        while (at > 0 && checks[order[at - 1]].outcome < checks[i].outcome) {
            order[at] = order[at - 1];
            --at;
        }
        order[at] = i;
    }

    text out, err;
    severity worst = severity::hardware_pass;
    if (machine_failure.size) {
        append_line(out, machine_failure.data, machine_failure.size);
        worst = severity::failure;
    }
    for (size_t i = 0; i < count; ++i) {
        const check &c = checks[order[i]];
        worst = c.outcome > worst ? c.outcome : worst;
        append(out, text_of(c.verdict), c.verdict.size);
        // Several nodes: each line says which; a line that ends with the
        // node already (FAIL open) is left as it is.
        const size_t label_length = strlen(c.label);
        const bool names_it = c.verdict.size > label_length &&
                              strcmp(c.verdict.data + c.verdict.size - label_length, c.label) == 0 &&
                              c.verdict.data[c.verdict.size - label_length - 1] == ' ';
        if (name_nodes && !names_it)
            append_format(out, " on %s", c.label);
        append(out, "\n", 1);
        if (!name_nodes && c.renderer.size)
            append_line(out, c.renderer.data, c.renderer.size);
    }
    for (size_t i = 0; i < count; ++i) {
        if (name_nodes && checks[i].renderer.size)
            append_line(err, checks[i].renderer.data, checks[i].renderer.size);
        append(err, text_of(checks[i].rest), checks[i].rest.size);
    }
    // A reader gone early changes nothing: the exit status still answers.
    (void)put(1, out);
    (void)put(2, err);
    free(out.data);
    free(err.data);
    free(order);
    if (worst == severity::failure)
        return 1;
    return worst == severity::unknown ? 2 : 0;
}

// Prometheus label values escape backslash, double quote and newline.
static void append_label(text &to, const char *value)
{
    for (const char *at = value; *at; ++at) {
        if (*at == '\\' || *at == '"')
            append(to, "\\", 1);
        if (*at == '\n')
            append(to, "\\n", 2);
        else
            append(to, at, 1);
    }
}

static void family(text &to, const char *name, const char *help)
{
    append_format(to, "# HELP kalpex_%s %s\n# TYPE kalpex_%s gauge\n", name, help, name);
}

// One series: kalpex_NAME{node="LABEL"[,EXTRA="VALUE"]} NUMBER
static void series(text &to, const char *name, const check &c, const char *extra, const char *extra_value,
                   const char *number)
{
    append_format(to, "kalpex_%s{node=\"", name);
    append_label(to, c.label);
    if (extra) {
        append_format(to, "\",%s=\"", extra);
        append_label(to, extra_value);
    }
    append_format(to, "\"} %s\n", number);
}

static void seconds(char *into, size_t size, long milliseconds)
{
    (void)snprintf(into, size, "%ld.%03ld", milliseconds / 1000, milliseconds % 1000);
}

static bool passed(const check &c)
{
    return c.outcome <= severity::software_pass;
}

// A family whose series carry the same value for every node checked.
static void for_every_node(text &to, const check *checks, size_t count, const char *name, const char *help,
                           const char *extra, const char *extra_value, const char *number)
{
    family(to, name, help);
    for (size_t i = 0; i < count; ++i)
        series(to, name, checks[i], extra, extra_value, number);
}

static void metrics_text(const settings &options, const check *checks, size_t count, size_t nodes_found,
                         text &to)
{
    bool any_pass = false, any_failure = false;
    for (size_t i = 0; i < count; ++i) {
        any_pass |= passed(checks[i]);
        any_failure |= !passed(checks[i]);
    }
    char value[64];
    family(to, "probe_success", "Whether the last GPU rendering check passed (1) or not (0).");
    for (size_t i = 0; i < count; ++i)
        series(to, "probe_success", checks[i], nullptr, nullptr, passed(checks[i]) ? "1" : "0");
    if (any_pass) {
        family(to, "probe_hardware",
               "Whether a hardware renderer passed the last check (1) or a software rasteriser (0).");
        for (size_t i = 0; i < count; ++i) {
            if (passed(checks[i]))
                series(to, "probe_hardware", checks[i], nullptr, nullptr,
                       checks[i].outcome == severity::hardware_pass ? "1" : "0");
        }
    }
    if (any_failure) {
        family(to, "probe_failed_stage", "The stage at which the last check failed.");
        for (size_t i = 0; i < count; ++i) {
            if (!passed(checks[i]))
                series(to, "probe_failed_stage", checks[i], "stage", text_of(checks[i].stage), "1");
        }
    }
    family(to, "probe_duration_seconds", "How long the last check took.");
    for (size_t i = 0; i < count; ++i) {
        seconds(value, sizeof value, checks[i].ended_ms - checks[i].started_ms);
        series(to, "probe_duration_seconds", checks[i], nullptr, nullptr, value);
    }
    family(to, "probe_last_run_timestamp_seconds", "When the last check ended, in seconds since the epoch.");
    for (size_t i = 0; i < count; ++i) {
        (void)snprintf(value, sizeof value, "%lld", static_cast<long long>(checks[i].ended_wall));
        series(to, "probe_last_run_timestamp_seconds", checks[i], nullptr, nullptr, value);
    }
    // Per node, like the series above, so that files written for single
    // nodes never repeat a series: node_exporter refuses a repeated one.
    for_every_node(to, checks, count, "build_info", "The version of kalpex that ran the check.", "version",
                   KALPEX_VERSION, "1");
    (void)snprintf(value, sizeof value, "%zu", nodes_found);
    for_every_node(to, checks, count, "render_nodes",
                   "Render nodes found on the machine when the node was checked.", nullptr, nullptr, value);
    if (options.expected_nodes) {
        (void)snprintf(value, sizeof value, "%u", options.expected_nodes);
        for_every_node(to, checks, count, "render_nodes_expected",
                       "Render nodes the machine must have (--expect).", nullptr, nullptr, value);
    }
}

static bool folder_exists(const char *file)
{
    const char *slash = strrchr(file, '/');
    text folder;
    if (slash)
        append(folder, file, slash == file ? 1 : static_cast<size_t>(slash - file));
    else
        append(folder, ".", 1);
    const bool exists = access(folder.data, F_OK) == 0;
    free(folder.data);
    return exists;
}

// A scrape sees the old file or the new one, never half of one: written
// beside it under a name the collector ignores, then renamed over it.
// Readable by all, whatever the umask: node_exporter runs as its own user.
static bool replace_file(const char *file, const text &content)
{
    text beside;
    append_format(beside, "%s.%ld", file, static_cast<long>(getpid()));
    const int fd = open(beside.data, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool written = fd >= 0 && fchmod(fd, 0644) == 0 && put(fd, content);
    if (fd >= 0)
        written = close(fd) == 0 && written;
    written = written && rename(beside.data, file) == 0;
    if (!written) {
        (void)unlink(beside.data);
        (void)dprintf(2, "kalpex-monitor: cannot write %s\n", file);
    }
    free(beside.data);
    return written;
}

void write_metrics(const settings &options, const check *checks, size_t count, size_t nodes_found)
{
    // No folder, no node_exporter here: nothing to write.
    if (!options.textfile || !folder_exists(options.textfile))
        return;
    text metrics;
    metrics_text(options, checks, count, nodes_found, metrics);
    (void)replace_file(options.textfile, metrics);
    free(metrics.data);
}

// Only kalpex's own series go through: what the unprivileged side wrote
// can add nothing else to what node_exporter serves.
static bool only_kalpex_metrics(const text &metrics)
{
    if (!metrics.size || metrics.data[metrics.size - 1] != '\n')
        return false;
    for (const char *line = metrics.data; line < metrics.data + metrics.size; line = strchr(line, '\n') + 1) {
        if (strncmp(line, "kalpex_", 7) != 0 && strncmp(line, "# HELP kalpex_", 14) != 0 &&
            strncmp(line, "# TYPE kalpex_", 14) != 0)
            return false;
    }
    return true;
}

int publish_metrics(const char *source, const char *destination)
{
    const int fd = open(source, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) {
        // The check left no metrics (it could not start, or was killed):
        // no stale verdict stays behind either.
        if (unlink(destination) != 0 && errno != ENOENT) {
            (void)dprintf(2, "kalpex-monitor: cannot remove %s: %s\n", destination, strerror(errno));
            return 1;
        }
        return 0;
    }
    text metrics;
    struct stat status {
    };
    bool readable =
        fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= 1 << 20;
    char buffer[4096];
    for (ssize_t got = 1; readable && got > 0;) {
        got = read(fd, buffer, sizeof buffer);
        readable = got >= 0;
        if (got > 0)
            append(metrics, buffer, static_cast<size_t>(got));
    }
    if (fd >= 0)
        (void)close(fd);
    int status_code = 0;
    if (!readable || !only_kalpex_metrics(metrics)) {
        (void)dprintf(2, "kalpex-monitor: %s holds no kalpex metrics\n", source);
        (void)unlink(destination);
        status_code = 1;
    } else if (folder_exists(destination) && !replace_file(destination, metrics)) {
        status_code = 1;
    }
    // Taken: the next check publishes its own metrics or none.
    (void)unlink(source);
    free(metrics.data);
    return status_code;
}
