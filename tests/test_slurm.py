# SPDX-License-Identifier: MIT
"""The shipped SLURM health check and job prolog, run by Debian's own
slurmctld and slurmd (with munge) on this machine, on render nodes made in
a private mount namespace and the stand-in driver stack: a failing GPU
check drains the node with kalpex's reason, a pass resumes only a node
kalpex drained, an administrator's drain stays, a hung check ends within
its bound, and a failing prolog drains the node and requeues its job."""
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import (FAKE_SYSFS, KALPEX, STANDIN_DIR, free_port, main, namespace, namespace_problem, reachable,
                     runnable, shared_folder, stop_daemon, wait_for)

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
CONTRIB = os.path.join(SOURCE, "contrib")
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
                "/usr/libexec/kalpex/kalpex-monitor", ADAPTER)
        health_check = os.path.join(folder, "slurm-health-check")
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
    def write_settings(cls, steering, prolog_steering=""):
        with open(cls.settings, "w", encoding="utf-8") as settings:
            settings.write(f'KALPEX_MONITOR_OPTIONS="--timeout={BOUND}"\n'
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

    def reason(self):
        """The node's reason as sinfo -R shows it, or None."""
        lines = self.slurm("sinfo", "-R", "-h", "-o", "%E|%N").splitlines()
        return next((line.split("|")[0] for line in lines if line.endswith(f"|{NODE}")), None)

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
