// SPDX-License-Identifier: MIT
// Runs the checks: one kalpex child per node, all at once, each watched
// without ever blocking on it, since a driver stuck in the kernel leaves a
// process that no signal ends and that keeps its pipes open. Each kalpex
// leads a process group, and whatever it or its driver starts there ends
// with the check: left behind, it would hold the node's lock.

#include "monitor.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <linux/capability.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>

// After the bound kalpex gets SIGTERM, after the grace SIGKILL; a process
// still there a moment later is stuck where no signal reaches it.
static const long grace_ms = 5000, settle_ms = 1000;
// How often a check waiting for an earlier one of its node looks again.
static const long lock_retry_ms = 20;
// Enough for every line kalpex and a chatty driver write.
static const size_t stream_cap = 1 << 20;

// A check while it runs: its plan, what it has given so far, and where it
// stands. Only this file sees it; the judge gets the result.
struct running_check {
    const planned_check *planned = nullptr;
    run_result result;
    enum class state : std::uint8_t { waiting, running, done } state = state::waiting;
    owned_fd out_fd, err_fd, lock_fd;
    bool lock_opened = false;
    // When kalpex next gets next_signal (0: it is given up on).
    long next_at = 0;
    int next_signal = 0;
};

// SIGCHLD, and the signals that stop the adapter, come through a descriptor
// that is polled with the checks' pipes.
static const int watched_signals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP};

static owned_fd watch_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : watched_signals)
        sigaddset(&set, signal_number);
    (void)sigprocmask(SIG_BLOCK, &set, nullptr);
    return owned_fd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

// Root's child becomes the GPU user for good: no capabilities left, none to
// be had back, and only that user's groups.
bool drop_privileges(const identity &user)
{
    for (int capability = 0; capability <= CAP_LAST_CAP; ++capability)
        (void)prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    if (setgroups(user.groups.size(), user.groups.data()) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0)
        return false;
    if (setuid(0) == 0) {
        errno = EPERM;
        return false;
    }
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

// In the child: kalpex leads a process group of its own, and gets /dev/null
// for input, our pipes for output, its node's lock, and the signal
// dispositions a shell would give it. The child shares the adapter's memory
// until it execs (vfork: no copy of the adapter's pages, the costliest part
// of a check's start after kalpex's own), so it makes system calls only:
// nothing that allocates or writes what the adapter reads.
[[noreturn]] static void become_kalpex(const settings &options, const running_check &c, const char *const *argv, int out,
                                       int err)
{
    (void)setpgid(0, 0);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd > 0) {
        dup2(null_fd, 0);
        close(null_fd);
    }
    dup2(out, 1);
    dup2(err, 2);
    // The node's lock goes with kalpex, out of the way of the descriptors
    // kalpex and its driver number themselves.
    if (c.lock_fd.fd >= 0)
        (void)fcntl(c.lock_fd.fd, F_DUPFD, 100);
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);
    (void)signal(SIGPIPE, SIG_DFL);
    char said[256];
    if (options.run_as.switch_user && !drop_privileges(options.run_as)) {
        const int length = snprintf(said, sizeof said, "cannot run it as user %u: %s\n",
                                    static_cast<unsigned>(options.run_as.uid), strerror(errno));
        (void)!write(2, said, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof said) - 1)));
        _exit(126);
    }
    execv(argv[0], const_cast<char *const *>(argv));
    const int length = snprintf(said, sizeof said, "%s\n", strerror(errno));
    (void)!write(2, said, static_cast<size_t>(std::clamp(length, 0, static_cast<int>(sizeof said) - 1)));
    _exit(127);
}

static void start(const settings &options, running_check &c, long now_ms)
{
    c.result.started_ms = now_ms;
    c.next_at = now_ms + options.bound * 1000L;
    c.next_signal = SIGTERM;
    c.state = running_check::state::done;
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (options.identity_error) {
        c.result.spawn_error = options.identity_error;
        return;
    }
    const bool piped = pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0;
    owned_fd out_read(out[0]), err_read(err[0]);
    const owned_fd out_write(out[1]), err_write(err[1]);
    // Made before the vfork: the child may only make system calls.
    const std::string program = probe_program(options, c.planned->api);
    std::vector<const char *> argv = {program.c_str()};
    if (options.require_hw)
        argv.push_back("--require-hw");
    if (c.planned->node)
        argv.push_back(c.planned->node->c_str());
    argv.push_back(nullptr);
    // posix_spawn cannot make the child another user; the child of vfork
    // makes system calls only, and the adapter waits for it with a bound.
    // NOLINTNEXTLINE(bugprone-unsafe-functions,cert-msc24-c,cert-msc33-c)
    const pid_t pid = piped ? vfork() : -1;
    if (pid == 0)
        become_kalpex(options, c, argv.data(), out[1], err[1]);
    c.result.pid = pid;
    if (pid < 0) {
        c.result.spawn_error = strerror(errno);
        return;
    }
    // Here too, so that the group is there before any signal to it.
    (void)setpgid(pid, pid);
    c.out_fd = std::move(out_read);
    c.err_fd = std::move(err_read);
    (void)fcntl(c.out_fd.fd, F_SETFL, O_NONBLOCK);
    (void)fcntl(c.err_fd.fd, F_SETFL, O_NONBLOCK);
    c.state = running_check::state::running;
    if (c.lock_fd.fd >= 0) {
        const long long now_wall = time(nullptr);
        const long give_up_in = options.bound * 1000L + grace_ms + settle_ms;
        write_record(c.planned->lock_path, {now_wall, now_wall + give_up_in / 1000 + 1, pid});
    }
}

// To kalpex and everything in its process group, while kalpex is not
// reaped: until then no other process can take its number.
static void signal_check(const running_check &c, int signal_number)
{
    if (c.result.pid > 0)
        (void)kill(-c.result.pid, signal_number);
}

// Reads what is there; closes the pipe at its end.
static void drain(owned_fd &pipe, std::string &into)
{
    char buffer[4096];
    while (pipe.fd >= 0) {
        const ssize_t got = read(pipe.fd, buffer, sizeof buffer);
        if (got > 0 && into.size() < stream_cap)
            into.append(buffer, static_cast<size_t>(got));
        else if (got < 0 && errno == EAGAIN)
            return;
        else if (got == 0 || (got < 0 && errno != EINTR))
            pipe.reset();
    }
}

static void finish(running_check &c, long now_ms)
{
    // Whatever kalpex wrote before it ended is in the pipes now; something
    // it left behind may hold them open, so there is no wait for their end.
    drain(c.out_fd, c.result.out);
    drain(c.err_fd, c.result.err);
    c.out_fd.reset();
    c.err_fd.reset();
    c.lock_fd.reset();
    c.state = running_check::state::done;
    c.result.ended_ms = now_ms;
    c.result.ended_wall = time(nullptr);
}

// Moves one check on at this moment: takes its lock and starts it, or
// takes the next step its bound calls for. Yields how many milliseconds
// until it next needs attention, or -1 once it is done. stopped_by: the
// signal that is stopping the adapter, or 0.
static long advance(const settings &options, running_check &c, long now, int stopped_by)
{
    lock_record holder;
    // GBM has nothing to open on a GPU with no DRM node: no probe runs.
    if (c.state == running_check::state::waiting && !c.planned->applies) {
        finish(c, now);
        return -1;
    }
    if (c.state == running_check::state::waiting && !stopped_by && !c.lock_opened) {
        c.lock_fd = open_lock(options, *c.planned);
        c.lock_opened = true;
    }
    if (c.state == running_check::state::waiting && stopped_by) {
        c.result.terminated_by = stopped_by;
        finish(c, now);
    } else if (c.state == running_check::state::waiting && !take_lock(c.lock_fd, c.planned->lock_path, holder)) {
        // An earlier check of the node that may still answer is waited for,
        // up to this check's own bound; one past its own bound is stuck, and
        // this check fails at once. A holder that has written no record yet
        // has only just begun.
        const long long now_wall = time(nullptr);
        const bool may_answer = holder.stuck_after == 0 || now_wall < holder.stuck_after;
        if (may_answer && now < options.bound * 1000L)
            return lock_retry_ms;
        c.result.stuck_since = holder.started ? holder.started : now_wall;
        c.result.stuck_kalpex = holder.pid;
        c.result.stuck_holder = holder_of(holder.pid);
        finish(c, now);
    } else if (c.state == running_check::state::waiting) {
        start(options, c, now);
        if (c.state == running_check::state::done)
            finish(c, now);
    }
    if (c.state != running_check::state::running)
        return -1;
    if (stopped_by && !c.result.terminated_by) {
        // The adapter is being stopped: its checks go with it, at once.
        c.result.terminated_by = stopped_by;
        c.next_at = now;
        c.next_signal = SIGKILL;
    }
    // At the bound SIGTERM, after the grace SIGKILL, and after the settling
    // time the check is given up on.
    while (now >= c.next_at) {
        if (!c.next_signal) {
            c.result.unkillable = true;
            finish(c, now);
            return -1;
        }
        c.result.timed_out = c.result.timed_out || c.next_signal == SIGTERM;
        signal_check(c, c.next_signal);
        c.next_at += c.next_signal == SIGTERM ? grace_ms : settle_ms;
        c.next_signal = c.next_signal == SIGTERM ? SIGKILL : 0;
    }
    return c.next_at - now;
}

static long now_ms(const timespec &base)
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - base.tv_sec) * 1000 + (now.tv_nsec - base.tv_nsec) / 1000000;
}

std::vector<run_result> run_checks(const settings &options, const check_plan &plan)
{
    std::vector<running_check> checks;
    checks.reserve(plan.checks.size());
    for (const planned_check &planned : plan.checks)
        checks.emplace_back().planned = &planned;
    const owned_fd signals = watch_signals();
    int stopped_by = 0;
    timespec base{};
    (void)clock_gettime(CLOCK_MONOTONIC, &base);
    std::vector<pollfd> watched;
    for (;;) {
        long wait_ms = -1;
        watched.assign(1, {signals.fd, POLLIN, 0});
        for (running_check &c : checks) {
            const long due = advance(options, c, now_ms(base), stopped_by);
            wait_ms = due < 0 ? wait_ms : wait_ms < 0 ? due : std::min(wait_ms, due);
            for (const int fd : {c.out_fd.fd, c.err_fd.fd}) {
                if (fd >= 0)
                    watched.push_back({fd, POLLIN, 0});
            }
        }
        if (wait_ms < 0 || (poll(watched.data(), watched.size(), static_cast<int>(wait_ms)) < 0 && errno != EINTR))
            break;
        for (signalfd_siginfo caught{}; read(signals.fd, &caught, sizeof caught) == sizeof caught;) {
            if (caught.ssi_signo != SIGCHLD && !stopped_by)
                stopped_by = static_cast<int>(caught.ssi_signo);
        }
        for (running_check &c : checks) {
            drain(c.out_fd, c.result.out);
            drain(c.err_fd, c.result.err);
        }
        // The children that ended: each check's verdict is now in its pipes,
        // and what it left in its group goes with it, before kalpex is
        // reaped and its number could name another process.
        for (siginfo_t ended{}; waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid > 0;
             ended = {}) {
            (void)kill(-ended.si_pid, SIGKILL);
            int status = 0;
            (void)waitpid(ended.si_pid, &status, 0);
            for (running_check &c : checks) {
                if (c.result.pid == ended.si_pid && c.state == running_check::state::running) {
                    c.result.wait_status = status;
                    finish(c, now_ms(base));
                }
            }
        }
    }
    std::vector<run_result> results;
    results.reserve(checks.size());
    for (running_check &c : checks)
        results.push_back(std::move(c.result));
    return results;
}
