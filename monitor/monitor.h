// SPDX-License-Identifier: MIT
// The monitor adapter: runs kalpex on each GPU's node as a child process and
// turns the runs into what monitors read (a verdict line first, an exit
// status, Prometheus metrics). It links none of the GPU code, so a driver
// that hangs or crashes can only take a child down.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// Bytes captured from a child, or lines being assembled; grows on the heap.
struct text {
    char *data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
};

void append(text &to, const char *bytes, size_t count);
void append_line(text &to, const char *line, size_t count);
void append_format(text &to, const char *format, ...) __attribute__((format(printf, 2, 3)));

// How a check ended, worst last: the first output line is the worst check's.
enum class severity { hardware_pass, software_pass, unknown, failure };

struct check {
    const char *node = nullptr;  // given to kalpex; null: kalpex's own default order
    const char *label = nullptr; // the node in lines and metrics
    const char *lock_path = nullptr;

    enum { waiting, running, done } state = waiting;
    pid_t pid = -1;
    int out_fd = -1, err_fd = -1, lock_fd = -1;
    text out, err;
    // Milliseconds since the adapter started: when kalpex started, when it
    // gets SIGTERM, SIGKILL, and when it is given up on; and when it ended.
    long started_ms = 0, term_at = 0, kill_at = 0, give_up_at = 0, ended_ms = 0;
    bool term_sent = false, kill_sent = false;
    time_t ended_wall = 0;

    int wait_status = 0;
    bool timed_out = false;  // still running at the bound
    bool unkillable = false; // still there after SIGKILL: stuck in the kernel
    int terminated_by = 0;   // the signal that ended the adapter first
    const char *spawn_error = nullptr;
    time_t stuck_since = 0; // an earlier check of this node holds it
    long stuck_pid = 0;

    // Filled by judge(): the line that decides, the renderer line, the rest.
    severity outcome = severity::failure;
    text verdict, renderer, rest, stage;
};

// Who kalpex runs as: the adapter started by root runs it as an ordinary
// GPU user, so that a pass means a workload could render.
struct identity {
    bool switch_user = false;
    uid_t uid = 0;
    gid_t gid = 0;
    gid_t groups[64] = {};
    int group_count = 0;
};

struct settings {
    const char *kalpex = "/usr/bin/kalpex";
    unsigned bound = 60; // seconds a check may take
    const char *textfile = nullptr;
    unsigned expected_nodes = 0; // 0: no expectation
    bool require_hw = false;
    identity run_as;
    const char *identity_error = nullptr; // set: no check can run
};

// checks.cpp: runs every check in parallel, each under the bound, and
// returns once each has ended or has been given up on.
void run_checks(const settings &options, check *checks, size_t count);

// verdict.cpp
void judge(const settings &options, check &c);
// Writes the lines monitors read and yields the exit status: 0 every check
// passed, 1 any failed, 2 kalpex could not be run.
int report(const check *checks, size_t count, bool name_nodes, const text &machine_failure);
void write_metrics(const settings &options, const check *checks, size_t count, size_t nodes_found);
// Copies metrics an unprivileged check wrote into node_exporter's folder;
// yields the exit status.
int publish_metrics(const char *source, const char *destination);
