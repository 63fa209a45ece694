// SPDX-License-Identifier: MIT
// Runs the checks: one kalpex child per node, all at once, each watched
// without ever blocking on it, since a driver stuck in the kernel leaves a
// process that no signal ends and that keeps its pipes open.

#include "monitor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <linux/capability.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// After the bound kalpex gets SIGTERM, after the grace SIGKILL; a process
// still there a moment later is stuck where no signal reaches it.
static const int kill_grace_s = 5;
static const int settle_ms = 1000;
// How often a check waiting for an earlier one of its node looks again.
static const int lock_retry_ms = 20;
// Enough for every line kalpex and a chatty driver write.
static const size_t stream_cap = 1 << 20;

static int wake_pipe[2] = {-1, -1};
static volatile sig_atomic_t terminating_signal = 0;

static void on_signal(int signal_number)
{
    const int saved = errno;
    if (signal_number != SIGCHLD && !terminating_signal)
        terminating_signal = signal_number;
    const char byte = 0;
    (void)!write(wake_pipe[1], &byte, 1);
    errno = saved;
}

static void watch_signals()
{
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    for (int signal_number : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaction(signal_number, &action, nullptr);
}

// The record an earlier check left in the lock file: when it started, until
// when it may run before it counts as stuck, and its process.
struct lock_record {
    long long started = 0, stuck_after = 0;
    long pid = 0;
};

static lock_record read_record(const char *path)
{
    lock_record record;
    char line[96] = "";
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return record;
    const ssize_t got = read(fd, line, sizeof line - 1);
    close(fd);
    line[got > 0 ? got : 0] = '\0';
    char *end = line;
    record.started = strtoll(end, &end, 10);
    record.stuck_after = strtoll(end, &end, 10);
    record.pid = strtol(end, &end, 10);
    if (*end != '\n')
        return lock_record{}; // half written: as if there were none yet
    return record;
}

static void write_record(const char *path, const lock_record &record)
{
    const int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    (void)dprintf(fd, "%lld %lld %ld\n", record.started, record.stuck_after, record.pid);
    (void)close(fd);
}

// One lock per node, held by the adapter and inherited by its kalpex: a
// kalpex that outlives the adapter (stuck, or the adapter killed) keeps the
// node's lock until it really ends, and a reboot clears /run.
// Returns false while an earlier check holds the lock; holder then says
// what that check recorded.
static bool take_lock(const settings &options, check &c, lock_record &holder)
{
    if (!c.lock_path)
        return true;
    if (c.lock_fd < 0) {
        c.lock_fd = open(c.lock_path, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (c.lock_fd < 0)
            return true; // no place for locks: the check runs unguarded
        // Root's checks and the unit's, run as the GPU user, share the
        // node's lock and its record.
        if (options.run_as.switch_user)
            (void)!fchown(c.lock_fd, options.run_as.uid, options.run_as.gid);
    }
    if (flock(c.lock_fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    holder = read_record(c.lock_path);
    return false;
}

static void set_argument_list(const settings &options, const check &c, const char *argv[4])
{
    int n = 0;
    argv[n++] = options.kalpex;
    if (options.require_hw)
        argv[n++] = "--require-hw";
    if (c.node)
        argv[n++] = c.node;
    argv[n] = nullptr;
}

// Root's child becomes the GPU user for good: no capabilities left, none to
// be had back, and only that user's groups.
static bool drop_privileges(const identity &user)
{
    for (int capability = 0; capability <= CAP_LAST_CAP; ++capability)
        (void)prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    if (setgroups(static_cast<size_t>(user.group_count), user.groups) != 0 || setgid(user.gid) != 0 ||
        setuid(user.uid) != 0)
        return false;
    if (setuid(0) == 0) {
        errno = EPERM;
        return false;
    }
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

// In the child: kalpex gets /dev/null for input, our pipes for output, its
// node's lock, and the signal dispositions a shell would give it.
[[noreturn]] static void become_kalpex(const settings &options, const check &c, int out, int err)
{
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0 && null_fd != 0) {
        dup2(null_fd, 0);
        close(null_fd);
    }
    dup2(out, 1);
    dup2(err, 2);
    // The node's lock goes with kalpex, out of the way of the descriptors
    // kalpex and its driver number themselves.
    if (c.lock_fd >= 0)
        (void)fcntl(c.lock_fd, F_DUPFD, 100);
    for (int signal_number : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        (void)signal(signal_number, SIG_DFL);
    if (options.run_as.switch_user && !drop_privileges(options.run_as)) {
        (void)dprintf(2, "cannot run it as user %u: %s\n", static_cast<unsigned>(options.run_as.uid),
                      strerror(errno));
        _exit(126);
    }
    const char *argv[4];
    set_argument_list(options, c, argv);
    execv(options.kalpex, const_cast<char *const *>(argv));
    (void)dprintf(2, "%s\n", strerror(errno));
    _exit(127);
}

static void start(const settings &options, check &c, long now_ms)
{
    c.started_ms = now_ms;
    c.term_at = now_ms + options.bound * 1000L;
    c.kill_at = c.term_at + kill_grace_s * 1000L;
    c.give_up_at = c.kill_at + settle_ms;
    c.state = check::done;
    if (options.identity_error) {
        c.spawn_error = options.identity_error;
        return;
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        c.spawn_error = strerror(errno);
        return;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        c.spawn_error = strerror(errno);
        close(out[0]);
        close(out[1]);
        return;
    }
    c.pid = fork();
    if (c.pid == 0)
        become_kalpex(options, c, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    if (c.pid < 0) {
        c.spawn_error = strerror(errno);
        close(out[0]);
        close(err[0]);
        return;
    }
    c.out_fd = out[0];
    c.err_fd = err[0];
    fcntl(c.out_fd, F_SETFL, O_NONBLOCK);
    fcntl(c.err_fd, F_SETFL, O_NONBLOCK);
    c.state = check::running;
    if (c.lock_fd >= 0) {
        const long long now_wall = time(nullptr);
        const long long stuck_after = now_wall + (c.give_up_at - now_ms) / 1000 + 1;
        write_record(c.lock_path, {now_wall, stuck_after, c.pid});
    }
}

// Reads what is there; closes the pipe at its end.
static void drain(int &fd, text &into)
{
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            if (into.size < stream_cap)
                append(into, buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return;
        close(fd);
        fd = -1;
    }
}

static void finish(check &c, long now_ms)
{
    // Whatever kalpex wrote before it ended is in the pipes now; something
    // it left behind may hold them open, so there is no wait for their end.
    drain(c.out_fd, c.out);
    drain(c.err_fd, c.err);
    for (int *fd : {&c.out_fd, &c.err_fd, &c.lock_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    c.state = check::done;
    c.ended_ms = now_ms;
    c.ended_wall = time(nullptr);
}

static long now_ms(const timespec &base)
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - base.tv_sec) * 1000 + (now.tv_nsec - base.tv_nsec) / 1000000;
}

static void reap(check *checks, size_t count, const timespec &base)
{
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        for (size_t i = 0; i < count; ++i) {
            if (checks[i].pid == pid && checks[i].state == check::running) {
                checks[i].wait_status = status;
                finish(checks[i], now_ms(base));
            }
        }
    }
}

// Moves one check on at this moment: takes its lock and starts it, or
// sends what its bound calls for. Yields how many milliseconds until it next
// needs attention, or -1 once it is done.
static long advance(const settings &options, check &c, long now)
{
    if (c.state == check::waiting) {
        lock_record holder;
        if (terminating_signal) {
            c.terminated_by = terminating_signal;
            finish(c, now);
            return -1;
        }
        if (!take_lock(options, c, holder)) {
            // An earlier check of the node that may still answer is waited
            // for, up to this check's own bound; one past its own bound is
            // stuck, and this check fails at once.
            // A holder that has written no record yet has only just begun.
            const long long now_wall = time(nullptr);
            const bool may_answer = holder.stuck_after == 0 || now_wall < holder.stuck_after;
            if (may_answer && now < options.bound * 1000L)
                return lock_retry_ms;
            c.stuck_since = holder.started ? holder.started : now_wall;
            c.stuck_pid = holder.pid;
            finish(c, now);
            return -1;
        }
        start(options, c, now);
        if (c.state == check::done) {
            finish(c, now);
            return -1;
        }
    }
    if (c.state != check::running)
        return -1;
    if (terminating_signal && !c.terminated_by) {
        // The adapter is being stopped: its checks go with it, at once.
        c.terminated_by = terminating_signal;
        c.term_at = c.kill_at = now;
        c.term_sent = true;
        c.give_up_at = now + settle_ms;
    }
    if (now >= c.term_at && !c.term_sent) {
        c.term_sent = c.timed_out = true;
        kill(c.pid, SIGTERM);
    }
    if (now >= c.kill_at && !c.kill_sent) {
        c.kill_sent = true;
        kill(c.pid, SIGKILL);
    }
    if (now >= c.give_up_at) {
        c.unkillable = true;
        finish(c, now);
        return -1;
    }
    long next = c.give_up_at;
    for (long due : {c.kill_sent ? next : c.kill_at, c.term_sent ? next : c.term_at})
        next = due < next ? due : next;
    return next - now;
}

void run_checks(const settings &options, check *checks, size_t count)
{
    watch_signals();
    timespec base{};
    (void)clock_gettime(CLOCK_MONOTONIC, &base);
    auto *fds = static_cast<pollfd *>(calloc(2 * count + 1, sizeof(pollfd)));
    if (!fds)
        return;
    for (;;) {
        long wait_ms = -1;
        nfds_t used = 0;
        fds[used++] = {wake_pipe[0], POLLIN, 0};
        for (size_t i = 0; i < count; ++i) {
            check &c = checks[i];
            const long due = advance(options, c, now_ms(base));
            if (due < 0)
                continue;
            wait_ms = wait_ms < 0 || due < wait_ms ? due : wait_ms;
            for (int fd : {c.out_fd, c.err_fd}) {
                if (fd >= 0)
                    fds[used++] = {fd, POLLIN, 0};
            }
        }
        if (wait_ms < 0)
            break;
        if (poll(fds, used, static_cast<int>(wait_ms)) < 0 && errno != EINTR)
            break;
        char bytes[64];
        while (read(wake_pipe[0], bytes, sizeof bytes) > 0) {
        }
        for (size_t i = 0; i < count; ++i) {
            drain(checks[i].out_fd, checks[i].out);
            drain(checks[i].err_fd, checks[i].err);
        }
        reap(checks, count, base);
    }
    free(fds);
}
