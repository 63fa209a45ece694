# SPDX-License-Identifier: MIT
"""Runs the built kalpex on the real driver stack or on the stand-in one, and
keeps its own lines apart from what the driver stack writes."""
import atexit
import os
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass

KALPEX = os.path.abspath(os.environ["KALPEX_BIN"])
STANDIN_DIR = os.path.abspath(os.environ["STANDIN_DIR"])
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for a suite that cannot run here
# In a cross build, the emulator that runs the binary (qemu-aarch64); empty
# natively.
EMULATOR = shlex.split(os.environ.get("KALPEX_EMULATOR", ""))
# The last two lines of a pass on Mesa's software rasteriser.
SOFTWARE_PASS_TAIL = ["kalpex: readback ff00ffff -> OK", "kalpex: PASS (SOFTWARE fallback)"]
# The adapter's suites are about its handling of one probe's runs, made on
# kalpex's path; the cases of the other paths, and of all three at once
# (the adapter's default), set KALPEX_APIS themselves.
os.environ["KALPEX_APIS"] = "gbm"


def own_lines(data):
    return [line for line in (data or b"").decode("utf-8", "replace").split("\n")
            if line.startswith("kalpex: ")]


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    trace: list  # calls the stand-in stack received

    @property
    def out(self):
        """kalpex's lines on standard output."""
        return own_lines(self.stdout)

    @property
    def err(self):
        """kalpex's lines on standard error, without the driver stack's."""
        return own_lines(self.stderr)


def run_kalpex(*args, env=None, standin=False, wrap=(), program=KALPEX, timeout=60, **streams):
    """Runs kalpex (or a copy of it: program) with args; wrap is a command
    line put in front of it."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
    environment.update(env or {})
    with tempfile.TemporaryDirectory() as scratch:
        trace_path = os.path.join(scratch, "trace")
        if standin:
            environment["LD_LIBRARY_PATH"] = STANDIN_DIR
            environment["STANDIN_TRACE"] = trace_path
        streams.setdefault("stdout", subprocess.PIPE)
        streams.setdefault("stderr", subprocess.PIPE)
        done = subprocess.run([*wrap, *EMULATOR, program, *args], env=environment, timeout=timeout, **streams)
        trace = []
        if os.path.exists(trace_path):
            with open(trace_path, encoding="utf-8", errors="replace") as file:
                trace = file.read().splitlines()
    return Run(done.returncode, done.stdout, done.stderr, trace)


def shared_folder():
    """A scratch folder every user may read, removed at exit."""
    folder = tempfile.mkdtemp()
    os.chmod(folder, 0o755)
    atexit.register(shutil.rmtree, folder)
    return folder


def reachable(path):
    """A copy of path (a program or a folder) that every user can reach,
    wherever the build folder lies: the monitor runs kalpex as a user of
    its own."""
    target = os.path.join(shared_folder(), os.path.basename(path))
    (shutil.copytree if os.path.isdir(path) else shutil.copy2)(path, target)
    return target


def runnable(program):
    """A path that runs program when executed: program itself, or in a cross
    build a script that runs it through the emulator."""
    if not EMULATOR:
        return program
    script = os.path.join(shared_folder(), os.path.basename(program))
    with open(script, "w", encoding="utf-8") as file:
        file.write(f'#!/bin/sh\nexec {shlex.join(EMULATOR)} {shlex.quote(program)} "$@"\n')
    os.chmod(script, 0o755)
    return script


# Lays an overlay over /dev inside the namespace, a tmpfs on /dev/dri in it,
# and /dev/null bound onto each node named in $NODES (a name ending in / is
# made a folder: a node that exists but does not open).
NAMESPACE_SETUP = r"""
set -e
scratch=$1; shift
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work"
mount -t overlay overlay -o "lowerdir=/dev,upperdir=$scratch/upper,workdir=$scratch/work" /dev
mkdir -p /dev/dri
mount -t tmpfs tmpfs /dev/dri
for node in $NODES; do
    case $node in
        */) mkdir "/dev/dri/$node" ;;
        *) : > "/dev/dri/$node"; mount --bind /dev/null "/dev/dri/$node" ;;
    esac
done
# With HIDE_NULL set: no /dev/null, and kalpex starts with standard input closed.
[ -z "${HIDE_NULL:-}" ] || { rm /dev/null; exec "$@" <&-; }
exec "$@"
"""


# Put after namespace(): the DRM part of sysfs as the kernel event handler
# reads it. With $SYSFS_TREE, that folder's class, devices and bus (see
# pci_sysfs) in place of the machine's; else, on tmpfs, the folders named in $SYSFS under
# /sys/class/drm (card0/device/drm/renderD128), and nodes that lead to
# their device's folder, those in $SYSFS_DEVICES
# (pci0000:00/0000:00:02.0/drm/renderD128).
FAKE_SYSFS = ("sh", "-c", r"""
if [ -n "${SYSFS_TREE:-}" ]; then
    for part in class devices bus; do mount --bind "$SYSFS_TREE/$part" "/sys/$part"; done
    exec "$@"
fi
mount -t tmpfs tmpfs /sys/class
mount -t tmpfs tmpfs /sys/devices
for path in $SYSFS; do mkdir -p "/sys/class/drm/$path"; done
for path in ${SYSFS_DEVICES:-}; do
    mkdir -p "/sys/devices/$path" /sys/class/drm && ln -s "/sys/devices/$path" "/sys/class/drm/${path##*/}"
    ln -s ../.. "/sys/devices/$path/device"
done
exec "$@"
""", "sh")


def pci_sysfs(root, devices):
    """Lays out under root the class, devices and bus folders of a sysfs
    with devices, each a dict: address (0000:01:00.0, or a platform
    device's name), port (the address of the port above it, or none),
    node (renderD128, or none), driver, virtio_driver (that of the virtio
    device beneath a virtio-pci function: virtio_gpu), display class (default 0x030000), link
    (width, max width, speed, max speed) and port_link (max width, max
    speed). Links lead to /sys/..., as they do once it is mounted there."""
    def write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as file:
            file.write(f"{text}\n")

    def link(path, target):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(target, path)

    for part in ("class/drm", "bus/pci/devices", "devices"):
        os.makedirs(os.path.join(root, part), exist_ok=True)
    for device in devices:
        address = device["address"]
        if not device.get("pci", True):
            place = f"platform/{address}"
        else:
            port = device.get("port")
            place = f"pci0000:00/{port}/{address}" if port else f"pci0000:00/{address}"
            link(f"{root}/bus/pci/devices/{address}", f"/sys/devices/{place}")
            write(f"{root}/devices/{place}/class", device.get("class", "0x030000"))
            write(f"{root}/devices/{place}/vendor", device.get("vendor", "0x1002"))
            write(f"{root}/devices/{place}/device", device.get("device", "0x744c"))
            if port and "port_link" in device:
                width, speed = device["port_link"]
                write(f"{root}/devices/pci0000:00/{port}/max_link_width", width)
                write(f"{root}/devices/pci0000:00/{port}/max_link_speed", f"{speed} GT/s PCIe")
            if "link" in device:
                width, max_width, speed, max_speed = device["link"]
                for name, value in [("current_link_width", width), ("max_link_width", max_width),
                                    ("current_link_speed", f"{speed} GT/s PCIe"),
                                    ("max_link_speed", f"{max_speed} GT/s PCIe")]:
                    write(f"{root}/devices/{place}/{name}", value)
        if device.get("driver"):
            link(f"{root}/devices/{place}/driver", f"/sys/bus/pci/drivers/{device['driver']}")
        if device.get("virtio_driver"):
            link(f"{root}/devices/{place}/virtio1/driver", f"/sys/bus/virtio/drivers/{device['virtio_driver']}")
        if device.get("node"):
            node = device["node"]
            link(f"{root}/devices/{place}/drm/{node}/device", f"/sys/devices/{place}")
            link(f"{root}/class/drm/{node}", f"/sys/devices/{place}/drm/{node}")


def namespace(scratch):
    """The command line that runs what follows it in a private mount
    namespace with the nodes of $NODES."""
    return ("unshare", "-m", "--propagation", "private", "sh", "-c", NAMESPACE_SETUP, "sh", scratch)


def namespace_problem():
    """Why no private mount namespace can be made here, or None."""
    if os.geteuid() != 0:
        return "needs root for a private mount namespace"
    with tempfile.TemporaryDirectory() as scratch:
        try:
            done = subprocess.run([*namespace(scratch), "test", "-d", "/dev/dri"], capture_output=True, timeout=30)
        except OSError as error:
            return f"unshare cannot run: {error}"
    if done.returncode:
        return f"no private mount namespace: {done.stderr.decode().strip()}"
    return None


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(what, condition, seconds=30):
    """Yields condition()'s first true value, asked every 0.2 s; fails
    after seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError(f"no {what} within {seconds} s")


def stop_daemon(pid_file):
    """Stops the daemon whose pid pid_file holds (one that never started
    wrote none), and waits up to 20 s until it has ended."""
    if not os.path.exists(pid_file):
        return
    with open(pid_file, encoding="utf-8") as file:
        pid = int(file.read())
    subprocess.run(["kill", str(pid)], check=False)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat", encoding="utf-8") as stat:
                if stat.read().split(") ")[1].startswith("Z"):
                    return
        except FileNotFoundError:
            return
        time.sleep(0.1)


def calls(run, prefix):
    """The traced calls whose line starts with prefix."""
    return [line for line in run.trace if line.startswith(prefix)]


def opened(run):
    """The paths kalpex tried to open, in order (traced as "open PATH FLAGS")."""
    return [call[len("open "):].rsplit(" ", 1)[0] for call in calls(run, "open ")]


def main():
    """unittest's main. Each skip is added, with its reason, to the file named
    by KALPEX_SKIPS; a suite in which no test ran (each skipped, or the whole
    class in setUpClass) exits SKIPPED, never as a pass."""
    program = unittest.main(exit=False, verbosity=2)
    result = program.result
    suite = os.path.basename(sys.argv[0]).removeprefix("test_").removesuffix(".py")
    skipped_tests = [test for test, _ in result.skipped if isinstance(test, unittest.TestCase)]
    ran_nothing = result.testsRun == len(skipped_tests)
    skips = [f"{suite}: {test.id().replace('__main__.', '')} SKIPPED, {reason}" for test, reason in result.skipped]
    if ran_nothing and not skips:
        skips = [f"{suite}: SKIPPED, no test ran"]
    if skips and os.environ.get("KALPEX_SKIPS"):
        with open(os.environ["KALPEX_SKIPS"], "a", encoding="utf-8") as file:
            file.writelines(line + "\n" for line in skips)
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIPPED if ran_nothing else 0)
