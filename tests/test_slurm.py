# SPDX-License-Identifier: MIT
"""The shipped SLURM health check and job prolog, run by Debian's own
slurmctld and slurmd (with munge) on this machine, on render nodes made in
a private mount namespace and the stand-in driver stack: a failing GPU
check drains the node with kalpex's reason, a pass resumes only a node
kalpex drained, an administrator's drain stays, a hung check ends within
its bound, a failing prolog drains the node and requeues its job, past kalpex's
share of the partition a failing node stays in service, named in its
Comment, and in a mixed cluster a node with no GPU is left alone. The breaker's arithmetic and marks are also checked without
root, on stand-ins for slurmctld's commands."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (FAKE_SYSFS, KALPEX, STANDIN_DIR, free_port, main, namespace, namespace_problem, reachable,
                     runnable, shared_folder, stop_daemon, wait_for)

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
CONTRIB = os.path.join(SOURCE, "contrib")
BREAKER_RULES = os.path.join(CONTRIB, "slurm", "slurm-breaker.awk")
ADAPTER = runnable(reachable(os.path.abspath(os.environ["KALPEX_MONITOR_BIN"])))
PROGRAMS = ("munged", "mungekey", "slurmctld", "slurmd", "scontrol", "sinfo", "sbatch")
NODE = socket.gethostname().split(".")[0]
# Seconds: the bound the settings give each check, and how often slurmd runs
# the health check, which does not wait for the last run to end: more than
# a hung check takes, so that runs never queue on the node's lock.
BOUND = 1
INTERVAL = 2

# The steps, in order, each from the state the one before left: (case, the
# stand-in's steering for the health check, what an administrator does
# first, the reason the node then carries, or None where it is not drained)
STEPS = [
    ("a failing GPU drains the node, named", "STANDIN_FAIL=eglInitialize STANDIN_ONLY_ON=/dev/dri/renderD129", [],
     "kalpex: FAIL eglInitialize on /dev/dri/renderD129"),
    ("a passing check resumes the node it drained", "", [], None),
    ("a node an administrator drained stays drained through a pass", "",
     ["State=DRAIN", "Reason=disk replaced"], "disk replaced"),
    ("and through a failure, with the administrator's reason", "STANDIN_FAIL=eglInitialize", [], "disk replaced"),
    ("a hung check ends within its bound and drains the node", "STANDIN_HANG=eglInitialize", ["State=RESUME"],
     f"kalpex: FAIL no result within {BOUND} s on /dev/dri/renderD128"),
    ("the next passing check resumes it", "", [], None),
]


# The breaker on drains, on slurmctld's answers as given here: (case, the
# share setting, the nodes of sinfo -N as "node|partition|state|when|reason"
# lines, read before the drain and after it where a second is given, the
# node's Comment, the check's exit status; then the scontrol updates the
# health check makes, and what it says on standard error and to the log).
OUT = "drained|2026-12-09T10:00:00|kalpex: FAIL eglInitialize on /dev/dri/renderD128"
ADMIN = "drained|2026-12-09T10:00:00|disk | replaced"
IN = "idle|Unknown|none"
FAILING = "kalpex: FAIL eglInitialize on /dev/dri/renderD128"
HELD = FAILING + " (not drained: {} of {} nodes of partition gpu would be out, over the limit of {} (KALPEX_SLURM_MAX_DRAINED={}))"
DRAIN = f"State=DRAIN Reason={FAILING}"
UNKNOWN = "kalpex: UNKNOWN cannot run /usr/bin/kalpex: no user kalpex to run it as"
GARBAGE = ("kalpex: KALPEX_SLURM_MAX_DRAINED={} in /etc/default/kalpex is neither a share (25%) nor a node count (3); "
           "the default, 25%, holds")


def cluster(*states, partition="gpu"):
    return [f"gpu{number}|{partition}|{state}" for number, state in enumerate(states, 1)]


BREAKER = [
    ("none out: a quarter of four is one node", "", [cluster(IN, IN, IN, IN)], "", 1, [DRAIN], []),
    ("one out: two of four would pass the quarter", "", [cluster(OUT, IN, IN, IN)], "", 1,
     ["Comment=" + HELD.format(2, 4, 1, "25%")], [HELD.format(2, 4, 1, "25%")]),
    ("two out", "25%", [cluster(OUT, IN, OUT, IN)], "", 1,
     ["Comment=" + HELD.format(3, 4, 1, "25%")], [HELD.format(3, 4, 1, "25%")]),
    ("rounded up: a quarter of five is two nodes", "", [cluster(OUT, IN, IN, IN, IN)], "", 1, [DRAIN], []),
    ("100% drains whatever is out", "100%", [cluster(OUT, IN, OUT, OUT)], "", 1, [DRAIN], []),
    ("a count", "2", [cluster(OUT, IN, IN, IN)], "", 1, [DRAIN], []),
    ("a count reached", "2", [cluster(OUT, IN, OUT, IN)], "", 1,
     ["Comment=" + HELD.format(3, 4, 2, "2")], [HELD.format(3, 4, 2, "2")]),
    ("an administrator's drains count in the size only", "", [cluster(ADMIN, IN, ADMIN, ADMIN)], "", 1, [DRAIN], []),
    ("an old kalpex reason on a node in service counts for nothing", "",
     [cluster("idle|2026-12-09T10:00:00|kalpex: FAIL old", IN, IN, IN)], "", 1, [DRAIN], []),
    ("every partition of the node has its share", "",
     [cluster(IN, IN, IN, IN, IN, IN, IN, IN, partition="all") + cluster(OUT, IN, IN, IN)], "", 1,
     ["Comment=" + HELD.format(2, 4, 1, "25%")], [HELD.format(2, 4, 1, "25%")]),
    ("garbage: said, and the default holds", "lots", [cluster(OUT, IN, IN, IN)], "", 1,
     ["Comment=" + HELD.format(2, 4, 1, "25%")], [GARBAGE.format("lots"), HELD.format(2, 4, 1, "25%")]),
    ("over 100%: said, and the default holds", "150%", [cluster(IN, IN, IN, IN)], "", 1, [DRAIN],
     [GARBAGE.format("150%")]),
    ("a percent sign out of place", "2%5", [cluster(IN, IN, IN, IN)], "", 1, [DRAIN], [GARBAGE.format("2%5")]),
    ("an administrator's comment is kept, kalpex's added", "", [cluster(OUT, IN, IN, IN)], "rack 4 fan", 1,
     ["Comment=rack 4 fan / " + HELD.format(2, 4, 1, "25%")], [HELD.format(2, 4, 1, "25%")]),
    ("a pass clears kalpex's mark alone", "", [cluster(OUT, IN, IN, IN)],
     "rack 4 fan / " + HELD.format(2, 4, 1, "25%"), 0, ["Comment=rack 4 fan"], []),
    ("a drain clears kalpex's mark: the reason says it now", "", [cluster(IN, IN, IN, IN)],
     HELD.format(2, 4, 1, "25%"), 1, [DRAIN, "Comment="], []),
    ("drained at the same moment as one before it by name: it goes back", "",
     [cluster(IN, IN, IN, IN), cluster(OUT, OUT, IN, IN)], "", 1,
     [DRAIN, "State=RESUME", "Comment=" + HELD.format(2, 4, 1, "25%")], [HELD.format(2, 4, 1, "25%")]),
    ("drained at the same moment as one after it by name: it stays", "",
     [cluster(IN, IN, IN, IN), cluster(IN, OUT, OUT, IN)], "", 1, [DRAIN], []),
    ("kalpex cannot run: nothing drained, the Comment and the log say why", "", [cluster(IN, IN, IN, IN)],
     "rack 4 fan", 2, ["Comment=rack 4 fan / " + UNKNOWN], [UNKNOWN]),
    ("a pass replaces that mark", "", [cluster(IN, IN, IN, IN)], "rack 4 fan / " + UNKNOWN, 0,
     ["Comment=rack 4 fan"], []),
    ("a failure replaces it too", "", [cluster(IN, IN, IN, IN)], UNKNOWN, 1, [DRAIN, "Comment="], []),
    ("slurmctld does not answer: no drain it cannot count", "", [None], "", 1,
     ["Comment=" + FAILING + " (not drained: slurmctld's node states could not be read)"],
     [FAILING + " (not drained: slurmctld's node states could not be read)"]),
]


# The breaker's own rules, on canned sinfo lines: (case, share, mode, the
# nodes, what it says; this node is gpu2).
NOT_DRAINED = ("not drained: {} of {} nodes of partition {} would be out, over the limit of {} "
               "(KALPEX_SLURM_MAX_DRAINED={})")
OUT_AT = "drained|2026-12-09T10:00:0{}|kalpex: FAIL eglInitialize on /dev/dri/renderD128"
BREAKER_CASES = [
    ("none out: a quarter of four is one node", "25%", "admit", cluster(IN, IN, IN, IN), ""),
    ("one out: two of four would pass the quarter", "25%", "admit", cluster(OUT, IN, IN, IN),
     NOT_DRAINED.format(2, 4, "gpu", 1, "25%")),
    ("two out", "25%", "admit", cluster(OUT, IN, OUT, IN), NOT_DRAINED.format(3, 4, "gpu", 1, "25%")),
    ("rounded up: a quarter of five is two", "25%", "admit", cluster(OUT, IN, IN, IN, IN), ""),
    ("100% lets every node go", "100%", "admit", cluster(OUT, IN, OUT, OUT), ""),
    ("0 lets none go", "0", "admit", cluster(IN, IN, IN, IN), NOT_DRAINED.format(1, 4, "gpu", 0, "0")),
    ("a count", "2", "admit", cluster(OUT, IN, IN, IN), ""),
    ("a count reached", "2", "admit", cluster(OUT, IN, OUT, IN), NOT_DRAINED.format(3, 4, "gpu", 2, "2")),
    ("an administrator's drains count in the size only", "25%", "admit", cluster(ADMIN, IN, ADMIN, ADMIN), ""),
    ("down on kalpex's word counts", "25%", "admit", cluster("down|2026-12-09T10:00:00|kalpex: FAIL x", IN, IN, IN),
     NOT_DRAINED.format(2, 4, "gpu", 1, "25%")),
    ("an old kalpex reason on a node in service counts for nothing", "25%", "admit",
     cluster("idle|2026-12-09T10:00:00|kalpex: FAIL old", IN, IN, IN), ""),
    ("a reason with the separator in it", "25%", "admit", cluster("drained|2026-12-09T10:00:00|kalpex: a|b", IN, IN, IN),
     NOT_DRAINED.format(2, 4, "gpu", 1, "25%")),
    ("every partition of the node has its share; the default one's star is no part of its name", "25%", "admit",
     cluster(IN, IN, IN, IN, IN, IN, IN, IN, partition="all*") + cluster(OUT, IN, IN, IN),
     NOT_DRAINED.format(2, 4, "gpu", 1, "25%")),
    ("kept: out at the same moment as one before it by name, it goes back", "25%", "keep",
     cluster(OUT_AT.format(0), OUT_AT.format(0), IN, IN), NOT_DRAINED.format(2, 4, "gpu", 1, "25%")),
    ("kept: out at the same moment as one after it by name, it stays", "25%", "keep",
     cluster(IN, OUT_AT.format(0), OUT_AT.format(0), IN), ""),
    ("kept: out before another, it stays", "25%", "keep", cluster(OUT_AT.format(5), OUT_AT.format(1), IN, IN), ""),
    ("kept: out after another, it goes back", "25%", "keep", cluster(OUT_AT.format(1), OUT_AT.format(5), IN, IN),
     NOT_DRAINED.format(2, 4, "gpu", 1, "25%")),
]


class BreakerRules(unittest.TestCase):
    """The breaker's arithmetic alone, as the health check runs it."""

    def test_each_case(self):
        for case, share, mode, nodes, said in BREAKER_CASES:
            with self.subTest(case=case):
                done = subprocess.run(["awk", "-F", "|", "-v", "self=gpu2", "-v", f"share={share}", "-v",
                                       f"mode={mode}", "-f", BREAKER_RULES], input="".join(n + "\n" for n in nodes),
                                      capture_output=True, text=True, timeout=10)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (0, said + "\n" if said else "", ""))


class Breaker(unittest.TestCase):
    """The shipped health check on stand-ins for slurmctld's commands, the
    adapter and the system log: its arithmetic and its marks."""

    def run_check(self, share, snapshots, comment, status, program="slurm-health-check", gres="", settings_text=""):
        with tempfile.TemporaryDirectory() as scratch:
            stubs = os.path.join(scratch, "bin")
            os.mkdir(stubs)
            for number, snapshot in enumerate(snapshots, 1):
                if snapshot is not None:
                    with open(os.path.join(scratch, f"sinfo.{number}"), "w", encoding="utf-8") as file:
                        file.write("".join(line + "\n" for line in snapshot))
            # The node as the check found it, drained by kalpex wherever
            # sinfo's first answer has it so; each stand-in notes its calls.
            drained = snapshots[0] is not None and any(line.startswith("gpu2|") and "|drained|" in line
                                                          for line in snapshots[0])
            shown = "NodeName=gpu2\n   State=" + ("IDLE+DRAIN" if drained else "IDLE") + "\n"
            shown += f"   Reason={FAILING} [root@2026-12-09T10:00:00]\n" if drained else ""
            shown += f"   Comment={comment}\n" if comment else ""
            shown += f"   Gres={gres}\n" if gres else ""
            with open(os.path.join(scratch, "shown"), "w", encoding="utf-8") as file:
                file.write(shown)
            programs = {
                "sinfo": f'n=$(($(cat {scratch}/n 2>/dev/null || echo 0) + 1)); echo $n >{scratch}/n\n'
                         f'[ -e {scratch}/sinfo.$n ] || n=1\n[ -e {scratch}/sinfo.$n ] || exit 1\nexec cat {scratch}/sinfo.$n',
                "scontrol": f'[ "$1" = show ] && exec cat {scratch}/shown\nshift 2\n'
                            f'printf "%s\\n" "$*" >>{scratch}/updates',
                "logger": f'shift 5\nprintf "%s\\n" "$*" >>{scratch}/logged',
                "sleep": "exit 0",
                "kalpex-monitor": f'printf "%s\\n" "$*" >>{scratch}/arguments\n'
                                  f"echo '{ {0: 'kalpex: PASS (HARDWARE)', 1: FAILING}.get(status, UNKNOWN)}'\n"
                                  f"exit {status}",
            }
            for name, body in programs.items():
                with open(os.path.join(stubs, name), "w", encoding="utf-8") as file:
                    file.write("#!/bin/sh\n" + body + "\n")
                os.chmod(os.path.join(stubs, name), 0o755)
            with open(os.path.join(CONTRIB, "slurm", "slurm-health-check"), encoding="utf-8") as shipped:
                settings = os.path.join(scratch, "settings")
                script = shipped.read().replace("PATH=/usr/sbin", f"PATH={stubs}:/usr/sbin").replace(
                    "[ ! -r /etc/default/kalpex ] || . /etc/default/kalpex", f". {settings}").replace(
                    "/usr/libexec/kalpex/kalpex-monitor", os.path.join(stubs, "kalpex-monitor")).replace(
                    "/usr/libexec/kalpex/slurm-breaker.awk", BREAKER_RULES)
            with open(settings, "w", encoding="utf-8") as file:
                file.write(f"KALPEX_SLURM_MAX_DRAINED='{share}'\n{settings_text}")
            done = subprocess.run(["sh", "-c", script, program], capture_output=True, text=True,
                                  env={"SLURMD_NODENAME": "gpu2", "SLURM_JOB_GPUS": "0"}, timeout=30)
            said = {"updates": [], "logged": [], "arguments": []}
            for name in said:
                if os.path.exists(os.path.join(scratch, name)):
                    with open(os.path.join(scratch, name), encoding="utf-8") as file:
                        said[name] = file.read().splitlines()
        return done, said

    def test_what_the_adapter_is_given(self):
        # (case, the node's Gres, the settings, the adapter's arguments)
        for case, gres, settings, arguments in [
                ("no GPU in Gres: a machine with no GPU passes", "(null)", "",
                 "--timeout=30 --allow-no-gpu -- --require-hw"),
                ("GPUs in Gres are expected", "gpu:a100:4(S:0-1),gpu:h100:2", "",
                 "--timeout=30 --expect=6 -- --require-hw"),
                ("a bare gpu is one; other resources are none", "shard:8,gpu", "",
                 "--timeout=30 --expect=1 -- --require-hw"),
                ("the settings' --expect holds", "gpu:8", 'KALPEX_MONITOR_OPTIONS="--expect 4"',
                 "--timeout=30 --expect 4 -- --require-hw"),
                ("a bound with a space, within the most", "gpu:1", 'KALPEX_MONITOR_OPTIONS="--timeout 20"',
                 "--timeout=20 --expect=1 -- --require-hw"),
                ("a bound that is no number goes to the adapter, which refuses it", "gpu:1",
                 'KALPEX_MONITOR_OPTIONS="--timeout=soon"', "--timeout=30 --timeout=soon --expect=1 -- --require-hw"),
                ("a software fallback accepted", "gpu:1", "KALPEX_ARGS=", "--timeout=30 --expect=1 --")]:
            with self.subTest(case=case):
                done, said = self.run_check("", [cluster(IN)], "", 0, gres=gres, settings_text=settings + "\n")
                self.assertEqual(said["arguments"], [arguments], done.stderr)

    def test_the_prolog_lets_the_job_run_past_the_share(self):
        # A failing prolog has SLURM drain the node: past the share it
        # passes, and marks the node as the health check does.
        for case, snapshot, status, updates in [
                ("within the share: drained, and the job requeued", cluster(IN, IN, IN, IN), 1, [DRAIN]),
                ("past it: in service, marked, and the job runs", cluster(OUT, IN, IN, IN), 0,
                 ["Comment=" + HELD.format(2, 4, 1, "25%")])]:
            with self.subTest(case=case):
                done, said = self.run_check("", [snapshot], "", 1, program="slurm-prolog")
                self.assertEqual((done.returncode, said["updates"]), (status, updates), done.stderr)

    def test_the_share_and_the_marks(self):
        for case, share, snapshots, comment, status, updates, logged in BREAKER:
            with self.subTest(case=case):
                done, said = self.run_check(share, snapshots, comment, status)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(said["updates"], updates)
                self.assertEqual(said["logged"], logged)
                self.assertEqual(done.stderr.splitlines(), logged)


class Slurm(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to run munged, slurmctld and slurmd")
        missing = [program for program in PROGRAMS if not shutil.which(program, path="/usr/sbin:/usr/bin")]
        if missing:
            raise unittest.SkipTest(f"needs Debian's slurmctld, slurmd and munge: no {', '.join(missing)}")
        problem = namespace_problem()
        if problem:
            raise unittest.SkipTest(problem)
        subprocess.run(["systemd-sysusers", os.path.join(CONTRIB, "kalpex.sysusers")], check=True)
        cls.folder = folder = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, folder)
        os.chmod(folder, 0o755)
        for sub in ("state", "spool", "munge", "ns", "locks"):
            os.mkdir(os.path.join(folder, sub), 0o700 if sub == "munge" else 0o755)
        cls.settings = os.path.join(folder, "kalpex.default")
        cls.log = os.path.join(folder, "checks.log")
        # The shipped script, with the settings and the adapter of this
        # test; the prolog is the same script under its other name.
        with open(os.path.join(CONTRIB, "slurm", "slurm-health-check"), encoding="utf-8") as shipped:
            script = shipped.read().replace("/etc/default/kalpex", cls.settings).replace(
                "/usr/libexec/kalpex/kalpex-monitor", ADAPTER).replace(
                "/usr/libexec/kalpex/slurm-breaker.awk", BREAKER_RULES)
        cls.health_check = health_check = os.path.join(folder, "slurm-health-check")
        with open(health_check, "w", encoding="utf-8") as copy:
            copy.write(script)
        os.chmod(health_check, 0o755)
        os.symlink("slurm-health-check", os.path.join(folder, "slurm-prolog"))
        # slurmd runs this, which runs the health check and notes when each
        # run began and ended; it runs none while the tests hold it off.
        cls.paused = os.path.join(folder, "paused")
        with open(os.path.join(folder, "timed-health-check"), "w", encoding="utf-8") as timed:
            timed.write(f"#!/bin/sh\n[ ! -e {cls.paused} ] || exit 0\nstart=$(date +%s.%N)\n"
                        f"{health_check} >/dev/null 2>&1\n"
                        f'echo "$start $(date +%s.%N) $?" >>{cls.log}\n')
        # What udev runs on a kernel event: the adapter, which finds the
        # health check installed beside it.
        beside = shared_folder()
        shutil.copy2(os.path.abspath(os.environ["KALPEX_MONITOR_BIN"]), beside)
        shutil.copy2(health_check, beside)
        cls.event_handler = runnable(os.path.join(beside, "kalpex-monitor"))
        os.chmod(os.path.join(folder, "timed-health-check"), 0o755)

        cls.conf = os.path.join(folder, "slurm.conf")
        socket_path = os.path.join(folder, "munge", "socket")
        with open(cls.conf, "w", encoding="utf-8") as conf:
            conf.write(f"""ClusterName=kalpex
SlurmctldHost={NODE}(127.0.0.1)
SlurmctldPort={free_port()}
SlurmdPort={free_port()}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={socket_path}
StateSaveLocation={folder}/state
SlurmdSpoolDir={folder}/spool
SlurmctldPidFile={folder}/slurmctld.pid
SlurmdPidFile={folder}/slurmd.pid
SlurmctldLogFile={folder}/slurmctld.log
SlurmdLogFile={folder}/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
SelectType=select/cons_tres
MpiDefault=none
ReturnToService=2
HealthCheckProgram={folder}/timed-health-check
HealthCheckInterval={INTERVAL}
HealthCheckNodeState=ANY
Prolog={folder}/slurm-prolog
GresTypes=gpu
NodeName={NODE} NodeAddr=127.0.0.1 CPUs={os.cpu_count()} RealMemory=500 Gres=gpu:1 State=UNKNOWN
NodeName=spare[1-3] NodeAddr=127.0.0.1 Port={cls.spares_port()} CPUs=1 RealMemory=100 State=UNKNOWN
PartitionName=gpu Nodes=ALL Default=YES MaxTime=INFINITE State=UP
""")
        with open(os.path.join(folder, "gres.conf"), "w", encoding="utf-8") as gres:
            gres.write(f"NodeName={NODE} Name=gpu File=/dev/dri/renderD128\n")
        # SLURM 23 and later set up cgroups unless told not to, and a
        # machine running tests may have none to give.
        version = re.search(r"(\d+)\.\d+", subprocess.run(["slurmd", "-V"], capture_output=True, text=True).stdout)
        if int(version.group(1)) >= 23:
            with open(os.path.join(folder, "cgroup.conf"), "w", encoding="utf-8") as cgroup:
                cgroup.write("CgroupPlugin=disabled\n")
        cls.env = {**os.environ, "SLURM_CONF": cls.conf}
        cls.write_settings("")

        # The daemons, in a mount namespace with two render nodes; each is
        # stopped by its pid when the tests end.
        key = os.path.join(folder, "munge", "key")
        subprocess.run(["mungekey", "--create", f"--keyfile={key}"], check=True)
        pids = [f"{folder}/munge/pid", f"{folder}/slurmctld.pid", f"{folder}/slurmd.pid"]
        for pid_file in pids:
            cls.addClassCleanup(stop_daemon, pid_file)
        daemons = (f"munged --force --socket={socket_path} --key-file={key} --pid-file={pids[0]}"
                   f" --log-file={folder}/munged.log --seed-file={folder}/munge/seed"
                   f" && slurmctld -i -f {cls.conf} && slurmd -f {cls.conf}")
        started = subprocess.run([*namespace(f"{folder}/ns"), "sh", "-c", daemons], timeout=60,
                                 env={**cls.env, "NODES": "renderD128 renderD129"})
        try:
            if started.returncode:
                raise AssertionError(f"the daemons did not start (status {started.returncode})")
            wait_for("idle node", lambda: "idle" in cls.slurm("sinfo", "-h", "-N", "-o", "%T"), 60)
        except AssertionError as error:
            logs = [subprocess.run(["tail", "-n", "5", log], capture_output=True, text=True).stdout
                    for log in (f"{folder}/slurmctld.log", f"{folder}/slurmd.log")]
            raise AssertionError(f"{error}; the daemons' logs end:\n" + "".join(logs)) from error

    @classmethod
    def spares_port(cls):
        """Where the spare nodes' slurmd would listen: a port that takes
        slurmctld's messages and hangs up, so that they fail at once. With
        nothing there, slurmctld retries each for its message timeout, and
        the next round of health checks waits for that."""
        listener = socket.create_server(("127.0.0.1", 0))
        cls.addClassCleanup(listener.close)

        def hang_up():
            while True:
                try:
                    listener.accept()[0].close()
                except OSError:
                    return

        threading.Thread(target=hang_up, daemon=True).start()
        return listener.getsockname()[1]

    @classmethod
    def write_settings(cls, steering, prolog_steering=""):
        with open(cls.settings, "w", encoding="utf-8") as settings:
            # GBM's path alone, as the suite's cases are written; set, not
            # exported, as the shipped file sets it: the script exports it.
            settings.write(f'KALPEX_MONITOR_OPTIONS="--timeout={BOUND}"\nKALPEX_APIS=gbm\n'
                           f"export KALPEX={runnable(reachable(KALPEX))} LD_LIBRARY_PATH={reachable(STANDIN_DIR)}"
                           f" RUNTIME_DIRECTORY={cls.folder}/locks SLURM_CONF={cls.conf} {steering}\n"
                           f'[ -z "${{SLURM_JOB_ID:-}}" ] || export {prolog_steering or "STANDIN_NONE=1"}\n')

    @classmethod
    def slurm(cls, *command):
        return subprocess.run(command, env=cls.env, capture_output=True, text=True, timeout=30, check=True).stdout

    def runs_since(self, moment):
        """The health check's runs that began after moment: (seconds, status)."""
        with open(self.log, encoding="utf-8") as log:
            runs = [line.split() for line in log]
        return [(float(end) - float(start), int(status)) for start, end, status in runs if float(start) > moment]

    def reason(self, node=NODE):
        """The node's reason as sinfo -R shows it, or None."""
        lines = self.slurm("sinfo", "-R", "-h", "-N", "-o", "%E|%N").splitlines()
        return next((line.split("|")[0] for line in lines if line.endswith(f"|{node}")), None)

    def test_health_check_drains_and_resumes(self):
        for case, steering, admin, reason in STEPS:
            with self.subTest(case=case):
                if admin:
                    self.slurm("scontrol", "update", f"NodeName={NODE}", *admin)
                changed = time.time()
                self.write_settings(steering)
                # Two whole runs on the new settings: the state the first
                # left is the one the second keeps.
                runs = wait_for("two health checks", lambda: self.runs_since(changed)[1:], 60)
                print(f"{case}: sinfo -R: {self.reason()!r}, health check took {runs[0][0]:.2f} s")
                self.assertEqual(self.reason(), reason)
                self.assertLess(max(seconds for seconds, _ in runs), BOUND + 3)

    def comment(self, node=NODE):
        """The node's Comment as sinfo shows it, or None."""
        shown = self.slurm("sinfo", "-h", "-N", "-n", node, "-O", "Comment:400").strip()
        return None if shown == "(null)" else shown

    def set_spares(self, drained, reason):
        """Drains the first spares with reason, and not the others."""
        for number in range(1, 4):
            # slurmctld undrains a node that never started, but calls it an
            # invalid state: sinfo says what came of it.
            subprocess.run(["scontrol", "update", f"NodeName=spare{number}",
                            *(["State=DRAIN", f"Reason={reason}"] if number <= drained else ["State=UNDRAIN"])],
                           env=self.env, capture_output=True, timeout=30, check=False)
        states = self.slurm("sinfo", "-h", "-N", "-n", "spare[1-3]", "-o", "%N %T").split()
        self.assertEqual([state.startswith("drain") for state in states[1::2]],
                         [number <= drained for number in range(1, 4)])

    def test_breaker_on_drains(self):
        # Three spare nodes that never start share the partition with the
        # real one: four nodes, of which kalpex may take a quarter. slurmd's
        # own health checks are held off until the last step.
        self.addCleanup(lambda: os.path.exists(self.paused) and os.unlink(self.paused))
        with open(self.paused, "w", encoding="utf-8"):
            pass
        time.sleep(BOUND + 1)  # a health check already running has ended
        self.addCleanup(self.set_spares, 0, "")
        failing = "kalpex: FAIL eglInitialize on /dev/dri/renderD128"
        held = failing + (" (not drained: {} of 4 nodes of partition gpu would be out, over the limit of {}"
                          " (KALPEX_SLURM_MAX_DRAINED={}))")
        for case, share, spares, admin_comment, reason, comment in [
                ("two of four out on kalpex's word: the third stays in service, named", "", 2, "", None,
                 held.format(3, 1, "25%")),
                ("one out: two of four would pass the quarter", "", 1, "", None, held.format(2, 1, "25%")),
                ("none out: one of four is a quarter", "", 0, "", failing, None),
                ("100% drains whatever is out", "100%", 3, "", failing, None),
                ("an administrator's drains do not count", "", -3, "", failing, None),
                ("an administrator's comment survives", "", 1, "rack 4 fan", None,
                 "rack 4 fan / " + held.format(2, 1, "25%"))]:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as scratch:
                spare_reason = "kalpex: FAIL eglInitialize on /dev/dri/renderD129" if spares > 0 else "disk replaced"
                self.set_spares(abs(spares), spare_reason)
                if self.reason():
                    self.slurm("scontrol", "update", f"NodeName={NODE}", "State=RESUME")
                self.slurm("scontrol", "update", f"NodeName={NODE}", f"Comment={admin_comment}")
                self.write_settings(f"STANDIN_FAIL=eglInitialize STANDIN_ONLY_ON=/dev/dri/renderD128"
                                    f" KALPEX_SLURM_MAX_DRAINED={share}")
                # As slurmd runs it, on the node's render nodes.
                done = subprocess.run([*namespace(scratch), self.health_check], capture_output=True, text=True,
                                      env={**self.env, "NODES": "renderD128 renderD129", "SLURMD_NODENAME": NODE},
                                      timeout=60)
                print(f"{case}: sinfo -R: {self.reason()!r}, comment: {self.comment()!r}")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(self.reason(), reason)
                self.assertEqual(self.comment(), comment)
                # Past the share the failure is said, for the system log.
                said = [line for line in done.stderr.splitlines() if line.startswith("kalpex: ")]
                self.assertEqual(said, [comment.split(" / ")[-1]] if comment else [])
        # Passing again, slurmd's next check clears kalpex's part of the
        # comment alone.
        self.write_settings("")
        os.unlink(self.paused)
        wait_for("the mark cleared", lambda: self.comment() == "rack 4 fan", 60)
        self.slurm("scontrol", "update", f"NodeName={NODE}", "Comment=")

    def test_mixed_cluster(self):
        # One slurm.conf for every node: a node that SLURM gives no GPU (a
        # spare, whose Gres has none) and that has none is left alone, one
        # given a GPU must have it, a slip in the settings drains nothing,
        # and a software fallback is no GPU at work. The health check runs
        # as slurmd runs it, on the render nodes given and a sysfs with no
        # display device; slurmd's own checks are held off.
        self.addCleanup(lambda: os.path.exists(self.paused) and os.unlink(self.paused))
        with open(self.paused, "w", encoding="utf-8"):
            pass
        time.sleep(BOUND + 1)  # a health check already running has ended
        no_gpu = ("kalpex: no GPU on this machine (no render node, and no display device but a management "
                  "controller's): nothing checked")
        refused = "kalpex: UNKNOWN unknown option --expct=8 (see kalpex-monitor --help)"
        # What the kernel reported to the other cases' checks stays with them.
        states = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, states)
        os.chmod(states, 0o755)
        for case, node, nodes, steering, reason, first_line in [
                ("no GPU in Gres, no render node: left alone, unmarked", "spare1", "", "STANDIN_FAIL=eglInitialize",
                 "unchanged", no_gpu),
                ("given a GPU, with no render node: drained", NODE, "", "", "kalpex: FAIL expected 1 GPUs, "
                 "found 0", "kalpex: FAIL expected 1 GPUs, found 0"),
                ("an unknown word in the settings: nothing drained, the Comment says why", NODE, "renderD128",
                 'STANDIN_FAIL=eglInitialize KALPEX_MONITOR_OPTIONS="--timeout=1 --expct=8"', None, refused),
                ("a software fallback: drained", NODE, "renderD128", "STANDIN_RENDERER=llvmpipe",
                 "kalpex: FAIL --require-hw: software renderer answered on /dev/dri/renderD128",
                 "kalpex: FAIL --require-hw: software renderer answered (renderer: llvmpipe, eglError 0x3000) on "
                 "/dev/dri/renderD128")]:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as scratch:
                if self.reason():
                    self.slurm("scontrol", "update", f"NodeName={NODE}", "State=RESUME")
                before = self.reason(node)
                self.write_settings(f"{steering} RUNTIME_DIRECTORY={states}")
                done = subprocess.run([*namespace(scratch), *FAKE_SYSFS, self.health_check], capture_output=True,
                                      text=True, env={**self.env, "NODES": nodes, "SYSFS": "",
                                                      "SLURMD_NODENAME": node}, timeout=60)
                print(f"{case}: {node}: sinfo -R: {self.reason(node)!r}, comment: {self.comment(node)!r}")
                self.assertEqual((done.returncode, done.stdout.splitlines()[:1]), (0, [first_line]), done.stderr)
                self.assertEqual((self.reason(node), self.comment(node)),
                                 (before if reason == "unchanged" else reason, first_line if first_line == refused else None))
        if self.reason():
            self.slurm("scontrol", "update", f"NodeName={NODE}", "State=RESUME")

    def test_failing_prolog_requeues_the_job(self):
        # The check fails in the prolog alone, and the health check cannot
        # run kalpex, which leaves the node as it is: a job given the GPU
        # drains the node and is requeued, held; one without is not checked.
        changed = time.time()
        self.write_settings("KALPEX=/nonexistent/kalpex", f"KALPEX={runnable(reachable(KALPEX))} STANDIN_FAIL=eglInitialize")
        wait_for("a health check", lambda: self.runs_since(changed))
        plain = self.slurm("sbatch", "--parsable", "-o", "/dev/null", "--wrap", "true").strip()
        wait_for("the job without GPUs to end", lambda: "COMPLETED" in self.slurm("scontrol", "show", "job", plain))
        job = self.slurm("sbatch", "--parsable", "--gres=gpu:1", "-o", "/dev/null", "--wrap", "true").strip()
        self.addCleanup(self.slurm, "scancel", job)

        def requeued():
            shown = self.slurm("scontrol", "show", "job", job).split()
            state = [word for word in shown if word.startswith(("JobState=", "Reason="))]
            return state if "JobState=PENDING" in state and "requeued" in " ".join(state) else None

        state = wait_for("the job requeued", requeued)
        print(f"failing prolog: sinfo -R: {self.reason()!r}; job {job}: {' '.join(state)}")
        self.assertEqual(self.reason(), "kalpex: FAIL eglInitialize on /dev/dri/renderD128")
        self.assertEqual(state, ["JobState=PENDING", "Reason=launch_failed_requeued_held"])
        # Passing again, the health check resumes the node.
        self.write_settings("")
        wait_for("the node resumed", lambda: self.reason() is None)

    def test_kernel_event_drains_at_once(self):
        # slurmd's own health checks are held off: the drain must come from
        # the check that the event's entry point starts, as udev runs it on
        # the kernel's WEDGED= event for card0, whose render node is
        # renderD128. Mesa's software rasteriser answers on both GPUs: after
        # the wedge, that is no health.
        self.addCleanup(lambda: os.path.exists(self.paused) and os.unlink(self.paused))
        event = {"ACTION": "change", "SUBSYSTEM": "drm", "WEDGED": "rebind,bus-reset",
                 "DEVPATH": "/devices/pci0000:00/0000:00:02.0/drm/card0", "RUNTIME_DIRECTORY": f"{self.folder}/locks",
                 "NODES": "renderD128 renderD129", "SYSFS": "card0/device/drm/renderD128 card1/device/drm/renderD129"}
        for case, admin, reason in [
                ("a wedge drains the node, named", [],
                 "kalpex: FAIL device wedged (WEDGED=rebind,bus-reset) on /dev/dri/renderD128"),
                ("an administrator's drain keeps its reason", ["State=DRAIN", "Reason=disk replaced"],
                 "disk replaced")]:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as scratch:
                wait_for("the node resumed", lambda: self.reason() is None, 60)
                with open(self.paused, "w", encoding="utf-8"):
                    pass
                time.sleep(BOUND + 1)  # a health check already running has ended
                self.write_settings("STANDIN_RENDERER=llvmpipe")
                if admin:
                    self.slurm("scontrol", "update", f"NodeName={NODE}", *admin)
                at, started = time.time(), time.monotonic()
                done = subprocess.run([*namespace(scratch), *FAKE_SYSFS, self.event_handler, "--kernel-event"],
                                      env={**self.env, **event}, capture_output=True, text=True, timeout=30)
                self.assertEqual(done.returncode, 0, done.stderr)
                if admin:
                    time.sleep(BOUND + 3)  # the check has run by now
                else:
                    wait_for("the drain", lambda: self.reason() == reason, 30)
                    took = time.monotonic() - started
                    print(f"{case}: sinfo -R: {self.reason()!r} {took:.2f} s after the event's entry point")
                    self.assertLess(took, 10)
                self.assertEqual(self.reason(), reason)
                self.assertEqual(self.runs_since(at), [])
                # Back to work: slurmd's next check passes in hardware, which
                # answers the wedge and resumes the node kalpex drained; the
                # administrator resumes their own.
                self.write_settings("")
                os.unlink(self.paused)
                if admin:
                    self.slurm("scontrol", "update", f"NodeName={NODE}", "State=RESUME")


if __name__ == "__main__":
    main()
