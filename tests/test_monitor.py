# SPDX-License-Identifier: MIT
"""What monitors read of each outcome, through the monitor adapter: the
node-problem-detector rule as the detector runs it, the Prometheus metrics as
node_exporter serves them, every GPU of a machine at once, a check that
cannot be ended, and the systemd units and udev rule."""
import fcntl
import glob
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

import yaml

from harness import (EMULATOR, FAKE_SYSFS, KALPEX, STANDIN_DIR, free_port, main, namespace, namespace_problem, pci_sysfs,
                     reachable, runnable, shared_folder)
# lavapipe's manifest for the probes' architecture.
from test_vulkan import LAVAPIPE

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
BUILD = os.environ["KALPEX_BUILD_DIR"]
CONTRIB = os.path.join(SOURCE, "contrib")
# A copy any user can run: the tests also run it as an ordinary user.
ADAPTER = runnable(reachable(os.path.abspath(os.environ["KALPEX_MONITOR_BIN"])))
# The adapter under the plugin's name, as the build links it. A copy of its
# own: in a cross build a link beside ADAPTER's emulator wrapper would still
# start the binary as kalpex-monitor.
PLUGIN = runnable(reachable(os.path.join(os.path.dirname(os.path.abspath(os.environ["KALPEX_MONITOR_BIN"])),
                                         "check_kalpex")))
# Started by root, the adapter runs kalpex as the package's GPU user, made
# here from the package's own sysusers.d entry; kalpex and the stand-in
# stack are copied where that user can reach them.
if os.geteuid() == 0:
    subprocess.run(["systemd-sysusers", os.path.join(CONTRIB, "kalpex.sysusers")], check=True)
KALPEX_RUN = runnable(reachable(KALPEX))  # what the adapter runs as KALPEX
# The three probes in one folder, as installed: the adapter runs the other
# two from kalpex's.
PROBES = shared_folder()
for probe in (KALPEX, os.environ["KALPEX_EGL_DEVICE_BIN"], os.environ["KALPEX_VULKAN_BIN"]):
    name = os.path.basename(probe)
    # In a cross build each is a script that runs the binary, kept beside
    # it under a dotted name, through the emulator.
    shutil.copy2(probe, os.path.join(PROBES, "." + name if EMULATOR else name))
    if EMULATOR:
        with open(os.path.join(PROBES, name), "w", encoding="utf-8") as wrapper:
            wrapper.write(f'#!/bin/sh\nexec {shlex.join([*EMULATOR, os.path.join(PROBES, "." + name)])} "$@"\n')
        os.chmod(os.path.join(PROBES, name), 0o755)
ALL_PATHS_KALPEX = os.path.join(PROBES, "kalpex")
STANDIN = reachable(STANDIN_DIR)
INSTALLED_ADAPTER = "/usr/libexec/kalpex/kalpex-monitor"
# Unpacked from Debian's packages by `make test`, so no Prometheus service
# is installed on the machine.
PROMTOOL = (glob.glob(os.path.join(BUILD, "prometheus", "*", "usr", "bin", "promtool")) or ["promtool"])[0]
NODE_EXPORTER = os.path.join(BUILD, "prometheus", "prometheus-node-exporter", "usr", "bin",
                             "prometheus-node-exporter")
PROMETHEUS = os.path.join(BUILD, "prometheus", "prometheus", "usr", "bin", "prometheus")
ALERTS = os.path.join(CONTRIB, "prometheus", "kalpex-alerts.yml")
# A long renderer string as hardware drivers give it.
LONG_RENDERER = "AMD Radeon RX 7900 XTX (radeonsi, gfx1100, LLVM 15.0.7, DRM 3.54, 6.5.0-35-generic)"

# Checks of the same node are kept apart by locks in the runtime folder:
# the tests' own, not the machine's /run/kalpex.
os.environ["RUNTIME_DIRECTORY"] = LOCKS = tempfile.mkdtemp()

with open(os.path.join(CONTRIB, "node-problem-detector-kalpex.json"), encoding="utf-8") as config_file:
    CONFIG = json.load(config_file)
with open(os.path.join(CONTRIB, "node-problem-detector-kalpex-kernel.json"), encoding="utf-8") as config_file:
    KERNEL_CONFIG = json.load(config_file)

# (outcome, kalpex arguments, stand-in steering or None for real Mesa, extra
#  adapter options, the adapter's first line (a pattern), its status, what
#  the metrics say beyond probe_success)
OUTCOMES = [
    ("hardware pass", ["/dev/null"], {"RENDERER": LONG_RENDERER}, [],
     r"kalpex: PASS \(HARDWARE\)", 0, 'kalpex_probe_hardware{api="gbm",device="/dev/null"} 1'),
    ("software pass", ["/dev/null"], None, [],
     r"kalpex: PASS \(SOFTWARE fallback\)", 0, 'kalpex_probe_hardware{api="gbm",device="/dev/null"} 0'),
    ("software under --require-hw", ["--require-hw", "/dev/null"], None, [],
     r"kalpex: FAIL --require-hw: software renderer answered \(renderer: llvmpipe .*, eglError 0x3000\)", 1,
     'stage="--require-hw: software renderer answered"'),
    ("bring-up failure", ["/dev/null"], {"FAIL": "eglInitialize", "EGL_ERROR": "0x3001"}, [],
     r"kalpex: FAIL eglInitialize \(renderer: \(none\), eglError 0x3001\)", 1, 'stage="eglInitialize"'),
    ("no node", ['/no "such"\\node'], None, [],
     r'kalpex: FAIL open /no "such"\\node: No such file or directory', 1,
     'cause="missing",device="/no \\"such\\"\\\\node",error="No such file or directory"'),
    ("hang", ["/dev/null"], {"HANG": "eglInitialize"}, ["--timeout=1"],
     r"kalpex: FAIL no result within 1 s", 1, 'stage="no result within 1 s"'),
    ("crash", ["/dev/null"], {"CRASH": "eglInitialize"}, [],
     r"kalpex: FAIL killed by SIGSEGV", 1, 'stage="killed by SIGSEGV"'),
    ("kalpex not runnable", ["/dev/null"], None, [],
     r"kalpex: UNKNOWN cannot run /nonexistent/kalpex: .*No such file or directory", 2, 'stage="cannot run"'),
]
DETECTOR_CONDITION = {0: "False", 1: "True"}  # any other status is Unknown


def seconds(duration):
    return int(duration.removesuffix("s"))


def rule_command(rule, options, args):
    """The rule's command line with the adapter taken from the checkout, the
    row's own bound where it has one, and the row's kalpex arguments. The
    host's PID 1 stands for the mount namespace the detector's pod enters;
    here that is the test's own, which only root may enter: others run what
    follows nsenter."""
    adapter = rule["args"].index(INSTALLED_ADAPTER)
    prefix = [f"--target={os.getpid()}" if arg == "--target=1" else arg for arg in rule["args"][:adapter]]
    own = {option.split("=")[0]: option for option in rule["args"][adapter + 1:] if option.startswith("--timeout=")}
    own.update({option.split("=")[0]: option for option in options})
    command = [rule["path"], *prefix, ADAPTER, *own.values(), "--", *args]
    return command if os.geteuid() == 0 else command[command.index("--") + 1:]


def detector(rule, command, env):
    """One run of a custom-plugin rule as node-problem-detector makes it:
    the message is standard output only, trimmed and cut; 0 is OK, 1 a
    problem and any other status (a signal, a kill at the timeout) Unknown."""
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          start_new_session=True) as process:
        try:
            out, _ = process.communicate(timeout=seconds(rule["timeout"]))
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, 9)
            process.communicate()
            return "Unknown", "timeout"
    message = out.decode().strip()[:CONFIG["pluginConfig"]["max_output_length"]]
    return DETECTOR_CONDITION.get(process.returncode, "Unknown"), message


def get(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read().decode()


def serve(test, *command, url):
    """Starts a server (stopped when the test class ends) and waits until
    url answers."""
    for tool in (command[0], PROMTOOL):
        if not os.access(tool, os.X_OK):
            raise AssertionError(f"{tool} is missing: `make test` unpacks it")
    server = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    test.addClassCleanup(server.wait)
    test.addClassCleanup(server.kill)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            get(url)
            return
        except OSError:
            time.sleep(0.1)
    raise AssertionError(f"{command[0]} did not answer")


def node_exporter(test):
    """node_exporter on 127.0.0.1 serving a textfile folder of its own;
    yields the folder and the port."""
    textfiles = tempfile.mkdtemp()
    test.addClassCleanup(shutil.rmtree, textfiles)
    port = free_port()
    serve(test, NODE_EXPORTER, f"--web.listen-address=127.0.0.1:{port}", "--collector.disable-defaults",
          "--collector.textfile", f"--collector.textfile.directory={textfiles}",
          url=f"http://127.0.0.1:{port}/metrics")
    return textfiles, port


class Outcomes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.textfiles, cls.port = node_exporter(cls)

    @classmethod
    def scrape(cls):
        return get(f"http://127.0.0.1:{cls.port}/metrics")

    def test_every_outcome(self):
        rule = CONFIG["rules"][0]
        textfile = os.path.join(self.textfiles, "kalpex.prom")
        for outcome, args, steering, options, first_line, status, metric in OUTCOMES:
            with self.subTest(outcome=outcome):
                env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
                env["KALPEX"] = "/nonexistent/kalpex" if status == 2 else KALPEX_RUN
                if steering is not None:
                    env.update({f"STANDIN_{k}": v for k, v in steering.items()}, LD_LIBRARY_PATH=STANDIN)
                done = subprocess.run([ADAPTER, *options, f"--textfile={textfile}", "--", *args], env=env,
                                      capture_output=True, text=True, timeout=60)
                lines = done.stdout.splitlines()
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertRegex(lines[0], f"^{first_line}$")
                if steering and "RENDERER" in steering:
                    self.assertEqual(lines[1:], [f"kalpex: GL_RENDERER={steering['RENDERER']}"])
                # Nothing kalpex wrote is lost, and nothing twice: not the
                # words of an exec that failed either, quoted in the line.
                self.assertNotIn(lines[0], done.stderr)
                if status == 2:
                    self.assertNotIn("No such file or directory", done.stderr)

                with open(textfile, encoding="utf-8") as metrics:
                    lint = subprocess.run([PROMTOOL, "check", "metrics"], stdin=metrics, capture_output=True,
                                          text=True)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
                served = self.scrape()
                self.assertIn("node_textfile_scrape_error 0", served)
                self.assertRegex(served, rf'kalpex_probe_success{{api="gbm",device=.*}} {1 if status == 0 else 0}\n')
                self.assertIn(metric, served)
                self.assertRegex(served, r'kalpex_probe_duration_seconds{api="gbm",device=.*} [0-9.e+-]+\n')
                self.assertRegex(served, r'kalpex_probe_last_run_timestamp_seconds{api="gbm",device=.*} [0-9.e+]+\n')

                # The same run through the detector's own rule: a failure is
                # a problem whose message leads with the whole FAIL line.
                condition, message = detector(rule, rule_command(rule, options, args), env)
                self.assertEqual(condition, DETECTOR_CONDITION.get(status, "Unknown"))
                self.assertTrue(message.startswith(lines[0]), message)

    def test_metrics_replace_the_file_whole(self):
        # Renamed over the old file rather than written into it, so a scrape
        # never reads half a file; and no temporary file is left.
        textfile = os.path.join(self.textfiles, "kalpex.prom")
        for _ in range(2):
            before = os.stat(textfile).st_ino if os.path.exists(textfile) else None
            subprocess.run([ADAPTER, f"--textfile={textfile}", "/nonexistent"],
                           env={**os.environ, "KALPEX": KALPEX_RUN},
                           capture_output=True, check=False)
            self.assertNotEqual(os.stat(textfile).st_ino, before)
        self.assertEqual(os.listdir(self.textfiles), ["kalpex.prom"])


def render_nodes(first, last):
    return [f"renderD{minor}" for minor in range(first, last + 1)]


def passes(kind, first, last):
    return [rf"kalpex: PASS \({kind}\) on /dev/dri/renderD{minor}" for minor in range(first, last + 1)]


# Whole machines: (case, nodes under /dev/dri (a folder where the name ends
# in /), adapter options, stand-in steering or None for real Mesa, the
# adapter's standard output (patterns), its status)
FAIL_ON_130 = r"kalpex: FAIL eglInitialize \(renderer: \(none\), eglError 0x3000\) on /dev/dri/renderD130"
MACHINES = [
    ("every render node, by default", [*render_nodes(128, 135), "card0"], [], None,
     passes("SOFTWARE fallback", 128, 135), 0),
    ("one GPU failing, named first", render_nodes(128, 131), [],
     {"FAIL": "eglInitialize", "ONLY_ON": "/dev/dri/renderD130"},
     [FAIL_ON_130, *passes("HARDWARE", 128, 129), *passes("HARDWARE", 131, 131)], 1),
    ("a render node that does not open", ["renderD128", "renderD129/"], [], {},
     [r"kalpex: FAIL open /dev/dri/renderD129: Permission denied for user kalpex \(drwxr-xr-x root:root\)",
      *passes("HARDWARE", 128, 128)], 1),
    ("fewer render nodes than expected", render_nodes(128, 133), ["--expect=8"], {},
     ["kalpex: FAIL expected 8 GPUs, found 6", *passes("HARDWARE", 128, 133)], 1),
    ("only a primary node: kalpex's own order", ["card0"], [], {},
     [r"kalpex: PASS \(HARDWARE\)", "kalpex: GL_RENDERER=Stand-in GPU"], 0),
    ("every GPU hung: the bound holds for all at once", render_nodes(128, 135), ["--timeout=1"],
     {"HANG": "eglInitialize"}, [f"kalpex: FAIL no result within 1 s on /dev/dri/renderD{minor}"
                                 for minor in range(128, 136)], 1),
]


class InNamespace(unittest.TestCase):
    """Cases that need a private mount namespace: skipped, saying why,
    where none can be made."""

    @classmethod
    def setUpClass(cls):
        problem = namespace_problem()
        if problem:
            raise unittest.SkipTest(problem)


class Machines(InNamespace):
    """The adapter with no node, on a machine's /dev/dri made in a private
    mount namespace."""

    def test_every_gpu(self):
        rule = CONFIG["rules"][0]
        for case, nodes, options, steering, out, status in MACHINES:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as scratch:
                env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
                env.update(KALPEX=KALPEX_RUN, NODES=" ".join(nodes))
                if steering is not None:
                    env.update({f"STANDIN_{k}": v for k, v in steering.items()}, LD_LIBRARY_PATH=STANDIN)
                textfile = os.path.join(scratch, "kalpex.prom")
                command = [*namespace(scratch + "/ns"), ADAPTER, f"--textfile={textfile}", *options]
                os.mkdir(scratch + "/ns")
                started = time.monotonic()
                done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
                took = time.monotonic() - started
                lines = done.stdout.splitlines()
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertEqual(len(lines), len(out), done.stdout)
                for line, pattern in zip(lines, out):
                    self.assertRegex(line, f"^{pattern}$")
                if "--timeout=1" in options:
                    self.assertLess(took, 3)  # one bound, not one per node
                # Each node's part of standard error begins with its node.
                said = [line for line in done.stderr.splitlines() if line.startswith("kalpex: ")]
                for at, line in enumerate(said):
                    if line.startswith("kalpex: GL_RENDERER="):
                        self.assertTrue(at > 0 and said[at - 1].startswith("kalpex: node="), said)

                # One series per node checked, and a file promtool takes.
                with open(textfile, encoding="utf-8") as file:
                    metrics = file.read()
                checked = [node.rstrip("/") for node in nodes if node.startswith("renderD")] or ["default"]
                series = re.findall(r'^kalpex_probe_success{device="([^"]*)",api="gbm"} ', metrics, re.M)
                self.assertEqual(sorted(series), sorted(f"/dev/dri/{n}" if n != "default" else n
                                                        for n in checked))
                lint = subprocess.run([PROMTOOL, "check", "metrics"], input=metrics, capture_output=True, text=True)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))

                # The detector's message leads with the worst node's line.
                condition, message = detector(rule, command, env)
                self.assertEqual(condition, DETECTOR_CONDITION[status])
                self.assertTrue(message.startswith(lines[0]), message)


    def test_a_gpu_its_unit_publishes_is_left_out(self):
        # A machine-wide file beside a unit's file (by the node's number
        # here): node_exporter would refuse the unit's series twice.
        with tempfile.TemporaryDirectory() as scratch:
            os.mkdir(scratch + "/ns")
            with open(os.path.join(scratch, "kalpex-renderD128.prom"), "w", encoding="utf-8"):
                pass
            env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
            env.update(KALPEX=KALPEX_RUN, NODES="renderD128 renderD129", LD_LIBRARY_PATH=STANDIN)
            textfile = os.path.join(scratch, "kalpex.prom")
            done = subprocess.run([*namespace(scratch + "/ns"), ADAPTER, f"--textfile={textfile}"], env=env,
                                  capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(textfile, encoding="utf-8") as file:
                series = re.findall(r'^kalpex_probe_success{device="([^"]*)",api="gbm"} ', file.read(), re.M)
            self.assertEqual(series, ["/dev/dri/renderD129"])


# A machine's GPUs as sysfs shows them (see pci_sysfs), and what the
# adapter makes of them: (case, the devices, adapter options, whether it
# runs as the monitoring plugin, its lines (patterns), its status, metric
# lines expected)
GPU_AT_01 = {"address": "0000:01:00.0", "port": "0000:00:01.0", "node": "renderD128", "driver": "amdgpu",
             "link": (16, 16, 2.5, 16.0), "port_link": (16, 16.0)}
VGEM = {"address": "vgem", "pci": False, "node": "renderD129"}
PASS_128 = r"kalpex: PASS \(HARDWARE\) on /dev/dri/renderD128 \(0000:01:00.0, amdgpu\)"
INFO_128 = ('kalpex_gpu_info{device="/dev/dri/renderD128",gpu_node="/dev/dri/renderD128",pci_address="0000:01:00.0",'
            'driver="amdgpu",vendor_id="0x1002",device_id="0x744c"} 1')
NO_NODE_INFO = ('kalpex_gpu_info{{device="/dev/dri/renderD128",gpu_node="",pci_address="0000:02:00.0",driver="{}",'
                'vendor_id="0x1a03",device_id="0x2000"}} 1')
BMC = {"address": "0000:02:00.0", "vendor": "0x1a03", "device": "0x2000"}
# An H100 as sysfs shows it before its driver binds: a 3D controller.
DATA_CENTRE_GPU = {"address": "0000:c1:00.0", "class": "0x030200", "vendor": "0x10de", "device": "0x2330"}
SLOTS = [
    ("slot and driver beside each node; vgem has no slot", [GPU_AT_01, VGEM], [], False,
     [PASS_128, r"kalpex: PASS \(HARDWARE\) on /dev/dri/renderD129 \(no PCI device, no driver\)"], 0,
     [INFO_128, 'kalpex_pcie_link_width{device="/dev/dri/renderD128",api="gbm"} 16',
      'kalpex_pcie_link_max_width{device="/dev/dri/renderD128",api="gbm"} 16',
      'kalpex_pcie_link_speed_transfers_per_second{device="/dev/dri/renderD128",api="gbm"} 2.5e+09',
      'kalpex_pcie_link_max_speed_transfers_per_second{device="/dev/dri/renderD128",api="gbm"} 1.6e+10',
      'kalpex_pcie_link_degraded{device="/dev/dri/renderD128",api="gbm"} 0',
      'kalpex_gpu_info{device="/dev/dri/renderD129",gpu_node="/dev/dri/renderD129",pci_address="",driver="",'
      'vendor_id="",device_id=""} 1']),
    ("virtio: the GPU's driver, beneath the bus driver", [{**GPU_AT_01, "driver": "virtio-pci",
                                                          "virtio_driver": "virtio_gpu"}], ["/dev/dri/renderD128"],
     False, [r"kalpex: PASS \(HARDWARE\)", "kalpex: GL_RENDERER=Stand-in GPU"], 0,
     [INFO_128.replace("amdgpu", "virtio_gpu")]),
    ("x16 of x16 in the plugin: OK, with the width", [GPU_AT_01], [], True,
     [r"KALPEX OK - " + PASS_128 + r" \| '/dev/dri/renderD128'=\S+ '/dev/dri/renderD128 PCIe width'=16;16:;;0;16 "
      r"gpus=1;;;0 render_nodes=1;;;0"], 0, []),
    ("x8 of x16 on both ends: a WARNING, not a failure", [{**GPU_AT_01, "link": (8, 16, 16.0, 16.0)}], [], True,
     [r"KALPEX WARNING - kalpex: WARNING PCIe link x8 of x16 on /dev/dri/renderD128 \(0000:01:00.0, amdgpu\) \| "
      r".* '/dev/dri/renderD128 PCIe width'=8;16:;;0;16 .*", PASS_128], 1, []),
    ("x1 of x1 behind a x16 port: the GPU's own limit, no fault",
     [{**GPU_AT_01, "link": (1, 1, 2.5, 2.5), "port_link": (16, 16.0)}], [], True,
     [r"KALPEX OK - .*'/dev/dri/renderD128 PCIe width'=1;1:;;0;1 .*"], 0, []),
    ("a narrow port: x8 of a x16 GPU in a x8 slot is its most", [{**GPU_AT_01, "link": (8, 16, 16.0, 16.0),
                                                                  "port_link": (8, 16.0)}], [], False,
     [PASS_128], 0, ['kalpex_pcie_link_max_width{device="/dev/dri/renderD128",api="gbm"} 8',
                     'kalpex_pcie_link_degraded{device="/dev/dri/renderD128",api="gbm"} 0']),
    ("a display device with no driver: listed, and named under --expect", [GPU_AT_01, BMC], ["--expect=2"], False,
     [r"kalpex: FAIL expected 2 GPUs, found 1 \(0000:02:00.0: no driver\)", PASS_128], 1,
     [NO_NODE_INFO.format("")]),
    ("a management controller's display: listed, and nothing fails", [GPU_AT_01, {**BMC, "driver": "ast"}], [],
     False, [PASS_128], 0, [NO_NODE_INFO.format("ast")]),
]

# An H100 whose driver is bound, without nvidia-drm: no DRM node at all.
BOUND_DATA_CENTRE_GPU = {**DATA_CENTRE_GPU, "driver": "nvidia"}
ON_H100 = r"on 0000:c1:00\.0 \(nvidia\)"
SOFTWARE_ON = r"kalpex: PASS \(SOFTWARE fallback\) through {} {}"
# Every path of each GPU, the adapter's default, on Mesa's EGL and
# lavapipe: (case, devices, environment, options, lines, status, series
# that must be there, and where one begins with "!", must not).
PATHS = [
    ("no DRM node: the GPU checked through EGL's devices and Vulkan, and counted", [BOUND_DATA_CENTRE_GPU], {},
     ["--expect=1"], [SOFTWARE_ON.format("egl-device", ON_H100), SOFTWARE_ON.format("vulkan", ON_H100),
                      rf"kalpex: SKIP gbm {ON_H100}: the machine has no DRM node"], 0,
     ['kalpex_probe_success{device="0000:c1:00.0",api="egl-device"} 1',
      'kalpex_probe_success{device="0000:c1:00.0",api="vulkan"} 1', 'kalpex_gpus{device="0000:c1:00.0",api="vulkan"} 1',
      'kalpex_gpu_info{device="0000:c1:00.0",gpu_node="",pci_address="0000:c1:00.0",driver="nvidia",'
      'vendor_id="0x10de",device_id="0x2330"} 1', '!api="gbm"']),
    ("no DRM node, no Vulkan ICD: Vulkan fails, naming its path, and EGL passes", [BOUND_DATA_CENTRE_GPU],
     {"VK_DRIVER_FILES": "/nonexistent/icd.json"}, [],
     [rf"kalpex: FAIL vkCreateInstance \(VK_ERROR_INCOMPATIBLE_DRIVER\) through vulkan {ON_H100}",
      SOFTWARE_ON.format("egl-device", ON_H100), rf"kalpex: SKIP gbm {ON_H100}: the machine has no DRM node"], 1,
     ['kalpex_probe_failed_stage{device="0000:c1:00.0",api="vulkan",stage="vkCreateInstance '
      '(VK_ERROR_INCOMPATIBLE_DRIVER)"} 1', 'kalpex_probe_success{device="0000:c1:00.0",api="egl-device"} 1']),
    ("GBM alone where there is no DRM node checks nothing: it fails, saying why", [BOUND_DATA_CENTRE_GPU], {},
     ["--api=gbm"], [rf"kalpex: FAIL gbm {ON_H100}: the machine has no DRM node"], 1,
     ['kalpex_probe_failed_stage{device="0000:c1:00.0",api="gbm",stage="no DRM node"} 1']),
    ("a render node: each path on it, its GPU named once in the info", [GPU_AT_01], {}, [],
     [SOFTWARE_ON.format(api, r"on /dev/dri/renderD128 \(0000:01:00\.0, amdgpu\)")
      for api in ("gbm", "egl-device", "vulkan")], 0, [INFO_128]),
    ("a container given one GPU's node of two checks that GPU alone", [GPU_AT_01, {**GPU_AT_01, "address": "0000:02:00.0",
                                                                              "node": "renderD129"}],
     {"NODES": "renderD128", "KALPEX_APIS": "gbm"}, [],
     [r"kalpex: PASS \(SOFTWARE fallback\) on /dev/dri/renderD128 \(0000:01:00\.0, amdgpu\)"], 0,
     ['!pci_address="0000:02:00.0"']),
    ("a container given no /dev/dri: its GPU reached through EGL's devices and Vulkan", [GPU_AT_01], {"NODES": ""}, [],
     [SOFTWARE_ON.format(api, r"on 0000:01:00\.0 \(amdgpu\)") for api in ("egl-device", "vulkan")] +
     [r"kalpex: SKIP gbm on 0000:01:00\.0 \(amdgpu\): the machine has no DRM node"], 0, []),
    ("a GPU's unit by its slot, no render node: its EGL device by its place, on the stand-in EGL",
     [BOUND_DATA_CENTRE_GPU, {**BOUND_DATA_CENTRE_GPU, "address": "0000:c2:00.0"}], {"LD_LIBRARY_PATH": STANDIN},
     ["--gpu=pci-0000:c2:00.0"],
     [r"kalpex: PASS \(SOFTWARE fallback\) through vulkan on 0000:c2:00\.0 \(nvidia\)",
      r"kalpex: PASS \(HARDWARE\) through egl-device on 0000:c2:00\.0 \(nvidia\)",
      r"kalpex: SKIP gbm on 0000:c2:00\.0 \(nvidia\): the machine has no DRM node"], 0,
     ['kalpex_probe_hardware{device="0000:c2:00.0",api="egl-device"} 1', '!0000:c1:00.0']),
    ("KALPEX_APIS picks the paths", [GPU_AT_01], {"KALPEX_APIS": "vulkan"}, [],
     [SOFTWARE_ON.format("vulkan", r"on /dev/dri/renderD128 \(0000:01:00\.0, amdgpu\)")], 0, ['!api="gbm"']),
    ("a path that is none is refused", [GPU_AT_01], {}, ["--api=gbm,opengl"],
     [r"kalpex: UNKNOWN --api takes a list of gbm, egl-device and vulkan, not 'gbm,opengl' "
      r"\(see kalpex-monitor --help\)"], 2, None),
]


class Slots(InNamespace):
    """Which GPU each check reached, and its PCIe link, on a sysfs laid out
    in a private mount namespace."""

    def test_every_machine(self):
        for case, devices, options, plugin, lines, status, metrics in SLOTS:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as scratch:
                pci_sysfs(f"{scratch}/sys", devices)
                os.mkdir(f"{scratch}/ns")
                nodes = " ".join(device["node"] for device in devices if device.get("node"))
                env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
                env.update(KALPEX=KALPEX_RUN, LD_LIBRARY_PATH=STANDIN, NODES=nodes, SYSFS_TREE=f"{scratch}/sys")
                textfile = f"{scratch}/kalpex.prom"
                done = subprocess.run([*namespace(f"{scratch}/ns"), *FAKE_SYSFS, PLUGIN if plugin else ADAPTER,
                                       *([] if plugin else [f"--textfile={textfile}"]), *options],
                                      env=env, capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                got = done.stdout.splitlines()
                self.assertEqual(len(got), len(lines), got)
                for line, pattern in zip(got, lines):
                    self.assertRegex(line, f"^{pattern}$")
                if not plugin:
                    with open(textfile, encoding="utf-8") as file:
                        written = file.read()
                    for line in metrics:
                        self.assertIn(line + "\n", written)
                    lint = subprocess.run([PROMTOOL, "check", "metrics"], input=written, capture_output=True,
                                          text=True)
                    self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))


    def test_every_path(self):
        self.assertTrue(os.path.exists(LAVAPIPE), f"no {LAVAPIPE}: make test installs mesa-vulkan-drivers")
        for case, devices, extra, options, lines, status, metrics in PATHS:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as scratch:
                pci_sysfs(f"{scratch}/sys", devices)
                os.mkdir(f"{scratch}/ns")
                nodes = " ".join(device["node"] for device in devices if device.get("node"))
                env = {k: v for k, v in os.environ.items() if not k.startswith(("STANDIN_", "KALPEX_APIS"))}
                env.update({"KALPEX": ALL_PATHS_KALPEX, "NODES": nodes, "SYSFS_TREE": f"{scratch}/sys",
                            "VK_DRIVER_FILES": LAVAPIPE, **extra})
                textfile = f"{scratch}/kalpex.prom"
                done = subprocess.run([*namespace(f"{scratch}/ns"), *FAKE_SYSFS, ADAPTER, f"--textfile={textfile}",
                                       *options], env=env, capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                got = done.stdout.splitlines()
                self.assertEqual(len(got), len(lines), got)
                for line, pattern in zip(got, lines):
                    self.assertRegex(line, f"^{pattern}$")
                if metrics is None:
                    self.assertFalse(os.path.exists(textfile))
                    continue
                with open(textfile, encoding="utf-8") as file:
                    written = file.read()
                for line in metrics:
                    if line.startswith("!"):
                        self.assertNotIn(line[1:], written)
                    else:
                        self.assertIn(line + "\n", written)
                # No series twice: node_exporter would refuse the file.
                series = [line.split(" ")[0] for line in written.splitlines() if not line.startswith("#")]
                self.assertEqual(len(series), len(set(series)), written)

    def test_metrics_as_the_golden_file_has_them(self):
        # Every series of a machine's GPUs, as a reviewer reads a change to
        # them: an amdgpu behind a port, reported wedged and then reset,
        # vgem, a management controller, and a data-centre GPU (a 3D
        # controller, class 0x0302) whose driver did not bind, under
        # --expect. Times and the version are masked. The kernel's reports
        # as this version keeps them, and as an earlier one did (with the
        # last event's time): an upgrade forgets no wedge.
        # KALPEX_UPDATE_GOLDEN=1 writes the file anew.
        golden = os.path.join(SOURCE, "tests", "golden", "machine.prom")
        for state in ("2 1 1 1 1700000000 none rebind", "2 1700000000 1 1 1 1700000000 none rebind"):
            with self.subTest(state=state), tempfile.TemporaryDirectory() as scratch:
                pci_sysfs(f"{scratch}/sys", [GPU_AT_01, VGEM, BMC, DATA_CENTRE_GPU])
                os.mkdir(f"{scratch}/ns")
                os.mkdir(f"{scratch}/run", 0o755)
                with open(f"{scratch}/run/dev-dri-renderD128.kernel", "w", encoding="utf-8") as file:
                    file.write(state + "\n")
                env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
                env.update(KALPEX=KALPEX_RUN, LD_LIBRARY_PATH=STANDIN, NODES="renderD128 renderD129",
                           SYSFS_TREE=f"{scratch}/sys", RUNTIME_DIRECTORY=f"{scratch}/run")
                done = subprocess.run([*namespace(f"{scratch}/ns"), *FAKE_SYSFS, ADAPTER,
                                       f"--textfile={scratch}/k.prom", "--expect=3"],
                                      env=env, capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertEqual(done.stdout.splitlines()[0], "kalpex: FAIL expected 3 GPUs, found 2 "
                                 "(0000:02:00.0: no driver; 0000:c1:00.0: no driver)")
                with open(f"{scratch}/k.prom", encoding="utf-8") as file:
                    written = file.read()
                masked = re.sub(r'^(kalpex_probe_(?:duration|last_run_timestamp)_seconds\{[^}]*\}) \S+$',
                                r"\1 MASKED", written, flags=re.M)
                masked = re.sub(r'version="[^"]*"', 'version="MASKED"', masked)
                if os.environ.get("KALPEX_UPDATE_GOLDEN"):
                    with open(golden, "w", encoding="utf-8") as file:
                        file.write(masked)
                with open(golden, encoding="utf-8") as file:
                    self.maxDiff = None
                    self.assertEqual(masked, file.read())


# The sysfs of two GPUs: card0 with renderD128, card1 with renderD129.
BOTH_GPUS = "card0/device/drm/renderD128 card1/device/drm/renderD129 renderD128 renderD129"
WEDGED_128 = r"kalpex: FAIL device wedged \(WEDGED=rebind,bus-reset\) on /dev/dri/renderD128"
LLVMPIPE = {"RENDERER": "llvmpipe (LLVM 15.0.6, 256 bits)"}


def wedge_on(card, methods):
    return {"ACTION": "change", "SUBSYSTEM": "drm", "DEVPATH": f"/devices/pci0000:00/0000:00:02.0/drm/{card}",
            "WEDGED": methods}


def removal_of(node):
    return {"ACTION": "remove", "SUBSYSTEM": "drm", "DEVPATH": f"/devices/pci0000:00/0000:00:03.0/drm/{node}"}


# In order, each from the state the one before left: (case, the kernel's
# event or None, the sysfs then, the node checked, adapter options, stand-in
# steering, the first line (a pattern), the status, metric lines expected)
KERNEL_STEPS = [
    ("a wedge report fails a software pass", wedge_on("card0", "rebind,bus-reset"), BOTH_GPUS, "renderD128", [],
     LLVMPIPE, WEDGED_128, 1,
     ['kalpex_probe_failed_stage{device="/dev/dri/renderD128",api="gbm",stage="device wedged"} 1',
      'kalpex_probe_trigger{device="/dev/dri/renderD128",api="gbm",trigger="kernel_event"} 1',
      'kalpex_kernel_wedged{device="/dev/dri/renderD128",api="gbm",wedged="rebind,bus-reset"} 1',
      'kalpex_kernel_wedge_events_total{device="/dev/dri/renderD128",api="gbm"} 1',
      'kalpex_kernel_event_unanswered{device="/dev/dri/renderD128",api="gbm"} 1']),
    ("the other GPU is untouched", None, BOTH_GPUS, "renderD129", [], LLVMPIPE,
     r"kalpex: PASS \(SOFTWARE fallback\)", 0,
     ['kalpex_probe_trigger{device="/dev/dri/renderD129",api="gbm",trigger="schedule"} 1']),
    ("the next scheduled check fails too", None, BOTH_GPUS, "renderD128", [], LLVMPIPE, WEDGED_128, 1,
     ['kalpex_probe_trigger{device="/dev/dri/renderD128",api="gbm",trigger="schedule"} 1',
      'kalpex_kernel_event_unanswered{device="/dev/dri/renderD128",api="gbm"} 1']),
    ("a pass in hardware answers the wedge", None, BOTH_GPUS, "renderD128", [], {},
     r"kalpex: PASS \(HARDWARE\)", 0,
     ['kalpex_kernel_wedged{device="/dev/dri/renderD128",api="gbm",wedged="rebind,bus-reset"} 0',
      'kalpex_kernel_event_unanswered{device="/dev/dri/renderD128",api="gbm"} 0']),
    ("WEDGED=none: the next check's verdict stands", wedge_on("card0", "none"), BOTH_GPUS, "renderD128", [],
     LLVMPIPE, r"kalpex: PASS \(SOFTWARE fallback\)", 0,
     ['kalpex_probe_trigger{device="/dev/dri/renderD128",api="gbm",trigger="kernel_event"} 1',
      'kalpex_kernel_wedged{device="/dev/dri/renderD128",api="gbm",wedged="none"} 0',
      'kalpex_kernel_reset_events_total{device="/dev/dri/renderD128",api="gbm"} 1']),
    ("wedged again", wedge_on("card0", "vendor-specific"), BOTH_GPUS, "renderD128", [], LLVMPIPE,
     r"kalpex: FAIL device wedged \(WEDGED=vendor-specific\) on /dev/dri/renderD128", 1,
     ['kalpex_kernel_wedge_events_total{device="/dev/dri/renderD128",api="gbm"} 2']),
    ("its node gone and back: the GPU starts anew", removal_of("renderD128"), "card1/device/drm/renderD129 renderD129",
     "renderD128", [], LLVMPIPE, r"kalpex: PASS \(SOFTWARE fallback\)", 0, []),
    ("another GPU gone under --expect: an event for the one left", removal_of("renderD129"),
     "card0/device/drm/renderD128 renderD128/device", "renderD128", ["--expect=3"], LLVMPIPE, "kalpex: FAIL expected 3 GPUs, found 2", 1,
     ['kalpex_probe_trigger{device="/dev/dri/renderD128",api="gbm",trigger="kernel_event"} 1',
      'kalpex_kernel_event_unanswered{device="/dev/dri/renderD128",api="gbm"} 1']),
]
# Values the kernel never sends, and root's synthetic events, as udev would
# hand them over: each is refused (status 2), and nothing is kept or run.
HOSTILE_EVENTS = [
    {**wedge_on("card0", "$(touch {marker})")},
    {**wedge_on("card0", "rebind;touch {marker}")},
    {**wedge_on("card0", "rebind' \"`touch {marker}`")},
    {**wedge_on("card0", "rebind bus-reset")},
    {**wedge_on("card0", "rebind\nbus-reset")},
    {**wedge_on("card0", ",".join(["rebind"] * 40))},
    {**wedge_on("card0", "")},
    {**wedge_on("card0", "Rebind")},
    {**wedge_on("renderD128", "rebind")},
    {**wedge_on("card0", "rebind"), "DEVPATH": "/devices/pci0000:00/drm/card0;touch {marker}"},
    {**wedge_on("card0", "rebind"), "DEVPATH": "/devices/" + "x/" * 300 + "card0"},
    {**wedge_on("card0", "rebind"), "DEVPATH": "/devices/pci0000:00/drm/card0/../../sda"},
    {**wedge_on("card0", "rebind"), "SUBSYSTEM": "block"},
    {**wedge_on("card0", "rebind"), "ACTION": "add"},
    {"ACTION": "change", "SUBSYSTEM": "drm", "WEDGED": "rebind"},
    {**removal_of("renderD128"), "SYNTH_UUID": "0"},
    {**wedge_on("card0", "rebind"), "SYNTH_UUID": "5f2c3e1a-8b1d-4c7e-9f00-0123456789ab"},
]


class KernelEvents(InNamespace):
    """The handler udev runs on the kernel's events, and what the checks
    make of what it keeps, on two GPUs made in a private mount namespace."""

    def setUp(self):
        self.states = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.states)

    def in_namespace(self, command, env, sysfs="", devices=""):
        with tempfile.TemporaryDirectory() as scratch:
            env = {**env, "NODES": "renderD128 renderD129", "SYSFS": sysfs, "SYSFS_DEVICES": devices,
                   "RUNTIME_DIRECTORY": self.states}
            return subprocess.run([*namespace(scratch), *FAKE_SYSFS, *command], env=env,
                                  capture_output=True, text=True, timeout=60)

    def test_events_and_the_checks_after_them(self):
        for case, event, sysfs, node, options, steering, first_line, status, metrics in KERNEL_STEPS:
            with self.subTest(case=case):
                if event:
                    done = self.in_namespace([ADAPTER, "--kernel-event"], {"PATH": os.environ["PATH"], **event},
                                             sysfs)
                    self.assertEqual(done.returncode, 0, done.stderr)
                textfile = os.path.join(self.states, "kalpex.prom")
                env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
                env.update({f"STANDIN_{k}": v for k, v in steering.items()}, KALPEX=KALPEX_RUN,
                           LD_LIBRARY_PATH=STANDIN)
                done = self.in_namespace([ADAPTER, f"--textfile={textfile}", *options, f"/dev/dri/{node}"], env)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                self.assertRegex(done.stdout.splitlines()[0], f"^{first_line}$")
                # Standard error begins with the node, before kalpex's own
                # verdict where the wedge's line took its place.
                said = [line for line in done.stderr.splitlines() if line.startswith("kalpex: ")]
                if any(line.startswith("kalpex: node=") for line in said):
                    self.assertTrue(said[0].startswith("kalpex: node="), said)
                with open(textfile, encoding="utf-8") as file:
                    written = file.read()
                for line in metrics:
                    self.assertIn(line + "\n", written)
                if not event or event["ACTION"] == "remove" and event["DEVPATH"].endswith(node):
                    self.assertNotIn("trigger=\"kernel_event\"", written)
                lint = subprocess.run([PROMTOOL, "check", "metrics"], input=written, capture_output=True, text=True)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))

    def test_one_gpu_gone_one_restart(self):
        # A GPU leaves: its card goes first, then its render node. Only the
        # render node's removal starts the checks of the GPU that remains,
        # renderD129: one event for it, not two.
        gpus = "pci0000:00/0000:00:02.0/drm/renderD128 pci0000:00/0000:00:03.0/drm/renderD129"
        for node, kept in [("card0", [":kernel-events.lock"]),
                           ("renderD128", [":kernel-events.lock", "dev-dri-renderD129.kernel"])]:
            with self.subTest(node=node):
                event = {**removal_of(node), "DEVPATH": f"/devices/pci0000:00/0000:00:02.0/drm/{node}"}
                done = self.in_namespace([ADAPTER, "--kernel-event"], {"PATH": os.environ["PATH"], **event},
                                         devices=gpus)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(sorted(os.listdir(self.states)), kept)
        with open(os.path.join(self.states, "dev-dri-renderD129.kernel"), encoding="utf-8") as record:
            self.assertEqual(record.read().split()[0], "1")

    def test_the_checks_that_a_gpu_gone_restarts(self):
        # renderD128's GPU goes; renderD129's remains, with a stable path:
        # the checks of it that udev started (their timer runs) or an
        # operator enabled are restarted, under either name, and a retired
        # one's is not. systemctl is a stand-in that notes its calls.
        gpus = "pci0000:00/0000:00:02.0/drm/renderD128 pci0000:00/0000:00:03.0/drm/renderD129"
        event = {**removal_of("renderD128"), "DEVPATH": "/devices/pci0000:00/0000:00:02.0/drm/renderD128"}
        slot, number = "kalpex@pci-0000:00:03.0", "kalpex@renderD129"
        for case, enabled, active, restarted in [
                ("started by udev: its timer runs", "", f"{slot}.timer", [f"{slot}.service"]),
                ("enabled by its number, as before", f"{number}.service", "", [f"{number}.service"]),
                ("both", f"{number}.timer", f"{slot}.timer", [f"{slot}.service", f"{number}.service"]),
                ("retired: nothing runs it", "", "", [])]:
            with self.subTest(case=case), tempfile.TemporaryDirectory() as scratch:
                calls = os.path.join(scratch, "calls")
                systemctl = os.path.join(scratch, "systemctl")
                with open(systemctl, "w", encoding="utf-8") as fake:
                    fake.write(f'#!/bin/sh\necho "$*" >>{calls}\nquery=$1; shift 2\nfor unit; do case $query in\n'
                               '  is-enabled) case " $ENABLED " in *" $unit "*) echo enabled;; *) echo static;; esac;;\n'
                               '  is-active) case " $ACTIVE " in *" $unit "*) echo active;; *) echo inactive;; esac;;\n'
                               'esac; done\n')
                os.chmod(systemctl, 0o755)
                setup = (f"mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && "
                         f"mount --bind {systemctl} /usr/bin/systemctl && mkdir /dev/dri/by-path && "
                         f'ln -s ../renderD129 /dev/dri/by-path/pci-0000:00:03.0-render && exec "$@"')
                done = self.in_namespace(["sh", "-c", setup, "sh", ADAPTER, "--kernel-event"],
                                         {"PATH": os.environ["PATH"], "ENABLED": enabled, "ACTIVE": active, **event},
                                         devices=gpus)
                self.assertEqual(done.returncode, 0, done.stderr)
                with open(calls, encoding="utf-8") as file:
                    restarts = [line.split()[3:] for line in file.read().splitlines() if "restart" in line]
                self.assertEqual(restarts, [restarted] if restarted else [])

    def test_hostile_events_are_refused(self):
        marker = os.path.join(self.states, "ran")
        for event in HOSTILE_EVENTS:
            event = {key: value.replace("{marker}", marker) for key, value in event.items()}
            with self.subTest(event=event):
                done = self.in_namespace([ADAPTER, "--kernel-event"], {"PATH": os.environ["PATH"], **event},
                                         BOTH_GPUS)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertEqual(os.listdir(self.states), [])


class Stuck(unittest.TestCase):
    """What is left of a check that could not be ended never holds up the
    next one, nor the monitor reading the adapter."""

    def run_adapter(self, *args, kalpex=KALPEX_RUN, **options):
        env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
        env.update(KALPEX=kalpex, **options.pop("env", {}))
        return subprocess.Popen([ADAPTER, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, **options)

    def hold_lock(self, node, started, stuck_after, pid=4242):
        """Holds the node's lock as a check still running would, with pid
        recorded as its kalpex."""
        path = os.path.join(LOCKS, node.strip("/").replace("/", "-") + ".lock")
        holder = open(path, "a+", encoding="utf-8")
        self.addCleanup(holder.close)
        fcntl.flock(holder, fcntl.LOCK_EX)
        holder.truncate(0)
        holder.write(f"{int(started)} {int(stuck_after)} {pid}\n")
        holder.flush()
        return holder

    def left_of_a_check(self, script, leader_ends=False):
        """What a check leaves: script run as a process group of its own, as
        the adapter runs kalpex; yields the group (its leader's pid) and the
        pids the script printed."""
        leader = subprocess.Popen(["sh", "-c", script], stdout=subprocess.PIPE, text=True, start_new_session=True)
        pids = [int(pid) for pid in leader.stdout.readline().split()]
        self.addCleanup(leader.wait)
        self.addCleanup(subprocess.run, ["kill", "-KILL", "--", f"-{leader.pid}"], stderr=subprocess.DEVNULL)
        if leader_ends:
            leader.wait(timeout=10)
        return leader.pid, pids

    def test_a_stuck_check_blocks_the_next_at_once(self):
        kalpex, _ = self.left_of_a_check("echo; exec sleep 60")
        self.hold_lock("/dev/null", started=1796083200, stuck_after=time.time() - 1, pid=kalpex)
        with tempfile.TemporaryDirectory() as scratch:
            started = time.monotonic()
            # A kalpex that ran would leave a mark.
            marker = os.path.join(scratch, "ran")
            with open(os.path.join(scratch, "kalpex"), "w", encoding="utf-8") as fake:
                fake.write(f"#!/bin/sh\ntouch {marker}\n")
            os.chmod(os.path.join(scratch, "kalpex"), 0o755)
            textfile = os.path.join(scratch, "kalpex.prom")
            with self.run_adapter(f"--textfile={textfile}", "/dev/null", kalpex=os.path.join(scratch, "kalpex")) \
                    as adapter:
                out, _ = adapter.communicate(timeout=30)
            self.assertLess(time.monotonic() - started, 1)
            self.assertEqual((adapter.returncode, out),
                             (1, f"kalpex: FAIL check stuck since 2026-12-01T00:00:00Z (process {kalpex})\n"))
            self.assertFalse(os.path.exists(marker))
            with open(textfile, encoding="utf-8") as file:
                self.assertIn('kalpex_probe_failed_stage{device="/dev/null",api="gbm",stage="check stuck"} 1', file.read())

    def test_the_stuck_line_names_a_process_that_is_there(self):
        # (what is left of the check that holds the node, the line's end)
        cases = [("kalpex itself", "echo; exec sleep 60", "(process {group})"),
                 ("a process kalpex left", "sleep 60 & echo $!", "(process {0}, left by process {group})"),
                 ("nothing in its group", "echo", "(process {group} has ended, a process it left holds the lock)")]
        for case, script, ending in cases:
            with self.subTest(case=case):
                group, pids = self.left_of_a_check(script, leader_ends="exec" not in script)
                holder = self.hold_lock("/dev/zero", started=1796083200, stuck_after=time.time() - 1, pid=group)
                with self.run_adapter("/dev/zero") as adapter:
                    out, _ = adapter.communicate(timeout=30)
                holder.close()
                self.assertEqual(out, "kalpex: FAIL check stuck since 2026-12-01T00:00:00Z "
                                 + ending.format(*pids, group=group) + "\n")

    def test_what_a_check_leaves_ends_with_it(self):
        # (case, the kalpex stand-in, adapter options, its first line, its status)
        cases = [("a pass that leaves a process", "sleep 30 &\necho \"left $!\" >&2\necho 'kalpex: PASS (HARDWARE)'",
                  [], "kalpex: PASS (HARDWARE)", 0),
                 ("a hang that ignores SIGTERM, with a child", "trap '' TERM\nsleep 30 &\necho \"left $!\" >&2\nsleep 30",
                  ["--timeout=1"], "kalpex: FAIL no result within 1 s", 1)]
        passing = self.stand_in("echo 'kalpex: PASS (HARDWARE)'")
        for case, script, options, first_line, status in cases:
            with self.subTest(case=case):
                node = f"/leftover-{status}"
                with self.run_adapter(*options, node, kalpex=self.stand_in(script)) as adapter:
                    out, err = adapter.communicate(timeout=20)
                self.assertEqual((adapter.returncode, out), (status, first_line + "\n"), err)
                left = int(re.search(r"left (\d+)", err).group(1))
                self.assertTrue(subprocess.run(["sh", "-c", f"for _ in $(seq 100); do [ \"$(ps -o stat= -p {left})\" "
                                                f"= Z ] || ! kill -0 {left} 2>/dev/null && exit; sleep 0.01; done; exit 1"],
                                               check=False).returncode == 0, f"process {left} is still there")
                # The next check of the node starts at once and passes.
                started = time.monotonic()
                with self.run_adapter(node, kalpex=passing) as adapter:
                    out, _ = adapter.communicate(timeout=20)
                print(f"{case}: the next check took {time.monotonic() - started:.3f} s")
                self.assertEqual((adapter.returncode, out), (0, "kalpex: PASS (HARDWARE)\n"))
                self.assertLess(time.monotonic() - started, 2)

    def stand_in(self, script):
        """A kalpex stand-in that runs script, where the GPU user can run it."""
        path = os.path.join(shared_folder(), "kalpex")
        with open(path, "w", encoding="utf-8") as fake:
            fake.write(f"#!/bin/sh\n{script}\n")
        os.chmod(path, 0o755)
        return path

    def test_a_check_still_in_time_is_waited_for(self):
        holder = self.hold_lock("/dev/null", started=time.time(), stuck_after=time.time() + 60)
        with self.run_adapter("/dev/null") as adapter:
            time.sleep(0.5)
            self.assertIsNone(adapter.poll())
            holder.close()
            out, err = adapter.communicate(timeout=30)
        self.assertEqual((adapter.returncode, out.splitlines()[0]), (0, "kalpex: PASS (SOFTWARE fallback)"), err)

    def test_output_ends_when_kalpex_does(self):
        # Something kalpex leaves behind holding its pipes does not hold the
        # adapter's: a reader that waits for their end gets it.
        leaver = os.path.join(shared_folder(), "kalpex")
        with open(leaver, "w", encoding="utf-8") as fake:
            fake.write("#!/bin/sh\nsleep 5 &\necho 'kalpex: PASS (HARDWARE)'\n")
        os.chmod(leaver, 0o755)
        started = time.monotonic()
        with self.run_adapter("/leftover", kalpex=leaver) as adapter:
            out, _ = adapter.communicate(timeout=20)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual((adapter.returncode, out), (0, "kalpex: PASS (HARDWARE)\n"))

    def test_terminated_check_leaves_no_pass_behind(self):
        with tempfile.TemporaryDirectory() as scratch:
            textfile = os.path.join(scratch, "kalpex.prom")
            with open(textfile, "w", encoding="utf-8") as old:
                old.write('kalpex_probe_success{device="/dev/null",api="gbm"} 1\n')
            with self.run_adapter(f"--textfile={textfile}", "/dev/null",
                                  env={"LD_LIBRARY_PATH": STANDIN, "STANDIN_HANG": "eglInitialize"}) as adapter:
                time.sleep(0.5)
                adapter.send_signal(signal.SIGTERM)
                out, _ = adapter.communicate(timeout=20)
            self.assertEqual((adapter.returncode, out), (2, "kalpex: UNKNOWN check terminated by SIGTERM\n"))
            with open(textfile, encoding="utf-8") as file:
                metrics = file.read()
            self.assertIn('kalpex_probe_success{device="/dev/null",api="gbm"} 0', metrics)
            self.assertIn('stage="terminated"', metrics)


def as_nobody(*command):
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *command]


# The command line: (case, the program, its arguments, its status, its
# first line (a pattern), the arguments kalpex got, or None where none ran)
REFUSED = r"kalpex: UNKNOWN {} \(see kalpex-monitor --help\)"
COMMAND_LINES = [
    ("an unknown option is refused", ADAPTER, ["--expct=8"], 2, REFUSED.format("unknown option --expct=8"), None),
    ("an adapter option after -- is refused", ADAPTER, ["--", "--expect=8"], 2,
     REFUSED.format("--expect=8 is kalpex-monitor's own option: give it before --"), None),
    ("a word after -- that is no node", ADAPTER, ["--", "-x"], 2,
     REFUSED.format(r"unknown argument -x for kalpex \(only --require-hw and nodes\)"), None),
    ("an option after kalpex's words", ADAPTER, ["--require-hw", "--timeout=5", "/dev/null"], 0,
     r"kalpex: PASS \(HARDWARE\)", "--require-hw /dev/null"),
    ("a value as the next word", ADAPTER, ["--timeout", "30", "/dev/null"], 0, r"kalpex: PASS \(HARDWARE\)",
     "/dev/null"),
    ("a value missing", ADAPTER, ["/dev/null", "--timeout"], 2, REFUSED.format("--timeout needs a value"), None),
    ("a value that is no number", ADAPTER, ["--expect=eight"], 2,
     REFUSED.format("--expect takes a whole number of GPUs above 0, not 'eight'"), None),
    ("a node that is not there is checked", ADAPTER, ["/nonexistent/renderD128"], 0, r"kalpex: PASS \(HARDWARE\)",
     "/nonexistent/renderD128"),
    ("a GPU by its slot: its stable path, named in the line", ADAPTER, ["--gpu=0000:3b:00.0"], 0,
     r"kalpex: PASS \(HARDWARE\) on /dev/dri/by-path/pci-0000:3b:00.0-render", "/dev/dri/by-path/pci-0000:3b:00.0-render"),
    ("a GPU by udev's path of its device", ADAPTER, ["--gpu", "platform-vgem"], 0,
     r"kalpex: PASS \(HARDWARE\) on /dev/dri/by-path/platform-vgem-render", "/dev/dri/by-path/platform-vgem-render"),
    ("a GPU name that is no file name", ADAPTER, ["--gpu=../renderD128"], 2,
     REFUSED.format("--gpu takes a render node's name or its device's path, not '../renderD128'"), None),
    ("--version", ADAPTER, ["--version"], 0, r"kalpex-monitor [0-9]+\.[0-9]+\.[0-9]+", None),
    ("--help", ADAPTER, ["/dev/null", "--help"], 0, r"kalpex-monitor [0-9]+\.[0-9]+\.[0-9]+", None),
    ("the plugin: slower than -w", PLUGIN, ["-w", "0.001", "/dev/null"], 1,
     r"KALPEX WARNING - kalpex: WARNING check took [0-9.]+ s on /dev/null, over 0\.001 s \| '/dev/null'=[0-9.]+s;0\.001;;0 "
     r"gpus=0;;;0 render_nodes=0;;;0", "/dev/null"),
    ("the plugin: slower than -c", PLUGIN, ["-w", "0.001", "--critical=0.002", "/dev/null"], 2,
     r"KALPEX CRITICAL - kalpex: CRITICAL check took [0-9.]+ s on /dev/null, over 0\.002 s \| "
     r"'/dev/null'=[0-9.]+s;0\.001;0\.002;0 gpus=0;;;0 render_nodes=0;;;0", "/dev/null"),
    ("the plugin: in time", PLUGIN, ["-w", "60", "-c", "90", "/dev/null"], 0,
     r"KALPEX OK - kalpex: PASS \(HARDWARE\) on /dev/null \| '/dev/null'=[0-9.]+s;60\.000;90\.000;0 gpus=0;;;0 render_nodes=0;;;0",
     "/dev/null"),
    ("the plugin: a threshold that is no number", PLUGIN, ["-w", "soon"], 3,
     r"KALPEX UNKNOWN - -w takes seconds above 0 \(2 or 2\.5\)", None),
]


class CommandLine(unittest.TestCase):
    """A slip on the command line is refused, never checked as a node."""

    def test_each_command_line(self):
        kalpex = os.path.join(shared_folder(), "kalpex-arguments")
        with open(kalpex, "w", encoding="utf-8") as fake:
            fake.write('#!/bin/sh\nsleep 0.05\necho "arguments: $*" >&2\necho "kalpex: PASS (HARDWARE)"\n')
        os.chmod(kalpex, 0o755)
        for case, program, args, status, first_line, given in COMMAND_LINES:
            with self.subTest(case=case):
                before = set(os.listdir(LOCKS))
                done = subprocess.run([program, *args], env={**os.environ, "KALPEX": kalpex}, capture_output=True,
                                      text=True, timeout=30)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                self.assertRegex(done.stdout.splitlines()[0], f"^{first_line}$")
                ran = re.findall(r"^arguments: (.*)$", done.stderr, re.M)
                self.assertEqual(ran, [given] if given is not None else [])
                # No file is named after a word that is no node there.
                self.assertEqual(sorted(set(os.listdir(LOCKS)) - before),
                                 ["dev-null.lock"] if "/dev/null" in args and "dev-null.lock" not in before else [])


def documented(pattern):
    """What the docs' code gives: each fenced block's lines and each inline
    code span, in docs/ and the README, with the page it is on."""
    pages = sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md"))) + [os.path.join(SOURCE, "README.md")]
    for page in pages:
        with open(page, encoding="utf-8") as file:
            text = file.read()
        for block in re.findall(pattern, text, re.S):
            yield os.path.basename(page), block


class Docs(unittest.TestCase):
    """What the docs tell an operator to type is what the programs take."""

    def test_promql_parses(self):
        # Each promql block, as a recording rule promtool parses.
        blocks = list(documented(r"```promql\n(.*?)```"))
        self.assertGreater(len(blocks), 0, "no PromQL in the docs")
        rules = {"groups": [{"name": "docs", "rules": [{"record": f"docs:expression_{number}", "expr": block}
                                                      for number, (_, block) in enumerate(blocks)]}]}
        with tempfile.NamedTemporaryFile("w", suffix=".yml") as file:
            yaml.safe_dump(rules, file)
            file.flush()
            done = subprocess.run([PROMTOOL, "check", "rules", file.name], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr + repr(blocks))

    def test_command_lines_parse(self):
        # Every command line that runs the adapter or the plugin, from its
        # name on, with the synopses' words for a value made values, as the
        # adapter's own option reader takes it; a stand-in answers for
        # kalpex. The udev and publishing modes are not option lines.
        # kalpex for the docs, and the other probes beside it.
        folder = shared_folder()
        kalpex = os.path.join(folder, "kalpex-docs")
        for probe in (kalpex, os.path.join(folder, "kalpex-egl-device"), os.path.join(folder, "kalpex-vulkan")):
            with open(probe, "w", encoding="utf-8") as fake:
                fake.write('#!/bin/sh\necho "kalpex: PASS (HARDWARE)"\n')
            os.chmod(probe, 0o755)
        user = subprocess.run(["id", "-un"], capture_output=True, text=True, check=True).stdout.strip()
        values = {"SECONDS": "30", "N": "2", "FILE": os.path.join(LOCKS, "docs.prom"), "NAME": user,
                  "NODE": "/dev/null", "NODE...": "/dev/null", "GPU": "renderD128", "LIST": "gbm,vulkan"}
        lines = [(page, line) for page, block in documented(r"```[a-z]*\n(.*?)```") for line in block.splitlines()]
        lines += list(documented(r"`([^`\n]+)`"))
        commands = []
        for page, line in lines:
            words = line.replace("$ ", "", 1).split()
            # An output line that quotes the name (a help hint) is no command.
            at = next((i for i, word in enumerate(words) if word.endswith(("kalpex-monitor", "check_kalpex"))), None)
            if at is None or line.startswith(("kalpex: ", "KALPEX ")):
                continue
            args = []
            for word in words[at + 1:]:
                if word in ("|", ";", "&&", "#") or word.startswith(("2>", ">")):
                    break
                word = word.strip("[]")
                name, equals, value = word.partition("=")
                args.append(name + equals + values.get(value, value) if equals else values.get(word, word))
            if not any(arg in ("--kernel-event",) or arg.startswith("--publish=") for arg in args):
                commands.append((page, words[at], [arg for arg in args if arg]))
        self.assertGreaterEqual(len([c for c in commands if c[2]]), 5, commands)
        for page, program, args in commands:
            with self.subTest(page=page, command=" ".join([program, *args])):
                plugin = program.endswith("check_kalpex")
                done = subprocess.run([PLUGIN if plugin else ADAPTER, *args], env={**os.environ, "KALPEX": kalpex},
                                      capture_output=True, text=True, timeout=30)
                asked = any(arg in ("-h", "--help", "-V", "--version") for arg in args)
                self.assertNotIn("UNKNOWN", done.stdout.split("\n")[0], done.stderr)
                if not asked:
                    self.assertNotEqual(done.returncode, 3 if plugin else 2, done.stdout + done.stderr)


class LeastPrivilege(unittest.TestCase):
    """kalpex runs as an ordinary user in every integration, so a node that
    only root may open fails as it would for a GPU workload."""

    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to make device nodes and to change users")
        self.folder = shared_folder()
        self.env = {**os.environ, "KALPEX": KALPEX_RUN}

    def node(self, mode, owner=0):
        """A node that renders on Mesa's software path (it is /dev/null)."""
        path = os.path.join(self.folder, f"node-{mode:o}-{owner}")
        os.mknod(path, 0o20000 | mode, os.makedev(1, 3))
        os.chmod(path, mode)
        os.chown(path, owner, owner)
        return path

    def test_a_node_only_root_may_open(self):
        rule = CONFIG["rules"][0]
        # (node mode, the adapter's first line, its status)
        denied = "kalpex: FAIL open {}: Permission denied for user {} (crw------- root:root)"
        for mode, first_line, status in [(0o600, denied.format("{}", "kalpex"), 1),
                                         (0o666, "kalpex: PASS (SOFTWARE fallback)", 0)]:
            with self.subTest(mode=oct(mode)), tempfile.TemporaryDirectory() as scratch:
                node = self.node(mode)
                textfile = os.path.join(scratch, "kalpex.prom")
                done = subprocess.run([ADAPTER, f"--textfile={textfile}", node], env=self.env, capture_output=True,
                                      text=True, timeout=60)
                self.assertEqual((done.returncode, done.stdout.splitlines()[0]), (status, first_line.format(node)))
                # Refused, not missing: configuration, not hardware.
                with open(textfile, encoding="utf-8") as file:
                    failures = [line for line in file if line.startswith(("kalpex_probe_open_failure{",
                                                                          "kalpex_probe_failed_stage{"))]
                self.assertEqual(failures, [] if status == 0 else [
                    f'kalpex_probe_failed_stage{{device="{node}",api="gbm",stage="open"}} 1\n',
                    f'kalpex_probe_open_failure{{device="{node}",api="gbm",cause="permission",error="Permission denied for user '
                    f'kalpex (crw------- root:root)"}} 1\n'])
                # The detector's own rule, without --require-hw for the
                # software pass.
                command = [arg for arg in rule_command(rule, [], [node]) if arg != "--require-hw"]
                condition, message = detector(rule, command, self.env)
                self.assertEqual(condition, DETECTOR_CONDITION[status])
                self.assertTrue(message.startswith(first_line.format(node)), message)

    def test_by_hand_as_an_ordinary_user(self):
        # (node mode and owner, adapter options, first line, status)
        cases = [(0o600, 65534, [], "kalpex: PASS (SOFTWARE fallback)", 0),
                 (0o600, 0, [], "kalpex: FAIL open {}: Permission denied for user nobody (crw------- root:root)", 1),
                 (0o666, 0, ["--user=root"], "", 2)]
        for mode, owner, options, first_line, status in cases:
            with self.subTest(mode=oct(mode), owner=owner, options=options):
                node = self.node(mode, owner)
                done = subprocess.run(as_nobody(ADAPTER, *options, node), env=self.env, capture_output=True,
                                      text=True, timeout=60)
                self.assertEqual((done.returncode, (done.stdout.splitlines() or [""])[0]),
                                 (status, first_line.format(node)), done.stderr)
        self.assertIn("kalpex-monitor: only root can run kalpex as another user", done.stderr)

    def test_root_publishes_what_the_check_wrote(self):
        # The unit's last step, as root: the unprivileged check's metrics
        # reach node_exporter's folder whole, or not at all.
        metrics = '# HELP kalpex_probe_success x\n# TYPE kalpex_probe_success gauge\nkalpex_probe_success{device="n",api="gbm"} 1\n'
        # (what the check left, the status, what node_exporter's file holds)
        cases = [(metrics, 0, metrics), (None, 0, None),
                 (metrics + "node_load1 99\n", 1, None), (metrics.rstrip("\n"), 1, None)]
        for left, status, published in cases:
            with self.subTest(left=left and left[-20:]), tempfile.TemporaryDirectory() as scratch:
                source, destination = os.path.join(scratch, "check.prom"), os.path.join(scratch, "kalpex.prom")
                with open(destination, "w", encoding="utf-8") as old:
                    old.write('kalpex_probe_success{device="n",api="gbm"} 1\n')
                if left is not None:
                    with open(source, "w", encoding="utf-8") as file:
                        file.write(left)
                    os.chmod(source, 0o600)
                done = subprocess.run([ADAPTER, f"--publish={source}", destination], capture_output=True, text=True)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertFalse(os.path.exists(source))
                if published is None:
                    self.assertFalse(os.path.exists(destination))
                else:
                    with open(destination, encoding="utf-8") as file:
                        self.assertEqual(file.read(), published)
                    self.assertEqual(os.stat(destination).st_mode & 0o777, 0o644)
                self.assertEqual(sorted(os.listdir(scratch)), [] if published is None else ["kalpex.prom"])


class Alerts(unittest.TestCase):
    """The shipped alerting rules: promtool's unit tests for every trap, and
    a real Prometheus server raising the failed-check alert from a real
    adapter run, as node_exporter serves it."""

    def test_rules_and_their_unit_tests(self):
        for command in ([PROMTOOL, "check", "rules", ALERTS],
                        [PROMTOOL, "test", "rules", os.path.join(SOURCE, "tests", "prometheus", "kalpex-alerts-test.yml")]):
            done = subprocess.run(command, capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_a_real_server_raises_and_clears_the_failed_check(self):
        textfiles, exporter = node_exporter(self.__class__)
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        with open(os.path.join(folder, "prometheus.yml"), "w", encoding="utf-8") as config:
            yaml.safe_dump({"global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
                            "rule_files": [ALERTS],
                            "scrape_configs": [{"job_name": "node", "static_configs": [
                                {"targets": [f"127.0.0.1:{exporter}"], "labels": {"kalpex": "expected"}}]}]},
                           config)
        port = free_port()
        serve(self.__class__, PROMETHEUS, f"--config.file={folder}/prometheus.yml",
              f"--storage.tsdb.path={folder}/data", f"--web.listen-address=127.0.0.1:{port}",
              url=f"http://127.0.0.1:{port}/-/ready")

        def failed_check_alerts():
            query = urllib.parse.quote('ALERTS{alertname="KalpexCheckFailing"}')
            answer = json.loads(get(f"http://127.0.0.1:{port}/api/v1/query?query={query}"))
            return [result["metric"] for result in answer["data"]["result"]]

        def check(steering, wanted):
            """Runs the adapter on /dev/null into node_exporter's folder; yields
            the seconds until the failed-check alerts are as wanted."""
            env = {**os.environ, "KALPEX": KALPEX_RUN, "LD_LIBRARY_PATH": STANDIN if steering else "",
                   **steering}
            subprocess.run([ADAPTER, f"--textfile={textfiles}/kalpex.prom", "/dev/null"], env=env,
                           capture_output=True, timeout=60, check=False)
            written = time.monotonic()
            while time.monotonic() - written < 30:
                alerts = failed_check_alerts()
                if wanted(alerts):
                    return time.monotonic() - written
                time.sleep(0.2)
            self.fail(f"the alerts are still {alerts}")

        # A failing check: pending (it fires after 10 minutes), with the node's labels.
        took = check({"STANDIN_FAIL": "eglInitialize"}, lambda alerts: alerts)
        (alert,) = failed_check_alerts()
        self.assertEqual({key: alert.get(key) for key in ("alertstate", "device", "api", "instance", "kalpex", "severity")},
                         {"alertstate": "pending", "device": "/dev/null", "api": "gbm", "instance": f"127.0.0.1:{exporter}",
                          "kalpex": "expected", "severity": "critical"})
        print(f"failed check pending in Prometheus {took:.1f} s after the adapter wrote it")
        # The next check passes: the alert clears.
        took = check({}, lambda alerts: not alerts)
        print(f"cleared {took:.1f} s after the passing check")


# The kernel's lines (Linux 7.3): virtio-gpu's wedge and vgem's reset as the
# VM tier's wedge stage captured them, and vgem's wedge as it is logged too;
# and the proprietary driver's Xid lines. (line, the detector's reason, or
# None where the condition must stay as it is)
KERNEL_LINES = [
    ("virtio-pci 0000:00:02.0: [drm] device wedged, needs recovery", "GPUWedged"),
    ("faux_driver vgem: [drm] device wedged, needs recovery", "GPUWedged"),
    ("faux_driver vgem: [drm] device wedged, but no recovery needed", None),
    ("NVRM: Xid (PCI:0000:3b:00): 79, pid=1912, name=python3, GPU has fallen off the bus.", "GPUFellOffTheBus"),
    ("NVRM: Xid (PCI:0000:3b:00): 154, GPU recovery action changed from 0x0 (None) to 0x1 (GPU Reset Required)",
     "GPUResetRequired"),
    ("NVRM: Xid (PCI:0000:3b:00): 154, GPU recovery action changed from 0x0 (None) to 0x2 (Node Reboot Required)",
     "GPUResetRequired"),
    ("NVRM: Xid (PCI:0000:3b:00): 154, GPU recovery action changed from 0x1 (GPU Reset Required) to 0x0 (None)",
     None),
    ("NVRM: Xid (PCI:0000:3b:00): 48, pid=2001, name=train, An uncorrectable double bit error (DBE) has been "
     "detected on GPU in the framebuffer at partition 6, subpartition 0.", "GPUUncorrectableMemoryError"),
    ("NVRM: Xid (PCI:0000:3b:00): 95, pid=2001, name=train, Uncontained: FBHUB. RST: Yes, D-RST: No",
     "GPUUncorrectableMemoryError"),
    ("NVRM: Xid (PCI:0000:3b:00): 13, pid=2001, name=train, Graphics SM Warp Exception on (GPC 0, TPC 1)", None),
    ("NVRM: Xid (PCI:0000:3b:00): 790, pid=1, name=init, a code no driver has", None),
]


class DetectorConfig(unittest.TestCase):
    def test_rule_bounds_and_settings(self):
        settings = CONFIG["pluginConfig"]
        self.assertTrue(settings["skip_initial_status"] and settings["enable_message_change_based_condition_update"])
        for rule in CONFIG["rules"]:
            bound = next(int(arg.split("=")[1]) for arg in rule["args"] if arg.startswith("--timeout="))
            # The adapter answers before the detector kills it, even when it
            # gives up on a stuck kalpex (SIGKILL 5 s after the bound, given
            # up 1 s later), and the detector refuses a rule timeout above
            # its global one.
            self.assertLess(bound + 6, seconds(rule["timeout"]))
            self.assertLessEqual(seconds(rule["timeout"]), seconds(settings["timeout"]))
            self.assertEqual(rule["args"][rule["args"].index(INSTALLED_ADAPTER) + 1:],
                             [f"--timeout={bound}", "--require-hw"])
            self.assertEqual(rule["condition"], CONFIG["conditions"][0]["type"])

    def test_manifest_carries_the_same_configs(self):
        with open(os.path.join(CONTRIB, "node-problem-detector-kalpex.yaml"), encoding="utf-8") as file:
            documents = {document["kind"]: document for document in yaml.safe_load_all(file)}
        config_map, pod = documents["ConfigMap"], documents["DaemonSet"]["spec"]["template"]["spec"]
        configs = {key: json.loads(text) for key, text in config_map["data"].items()}
        self.assertEqual(configs, {"kalpex-monitor.json": CONFIG, "kalpex-kernel-monitor.json": KERNEL_CONFIG})
        (container,) = pod["containers"]
        self.assertTrue(pod["hostPID"] and container["securityContext"]["privileged"])
        self.assertIn("--config.custom-plugin-monitor=/config/kalpex-monitor.json", container["command"])
        self.assertIn("--config.system-log-monitor=/config/kalpex-kernel-monitor.json", container["command"])
        volumes = {volume["name"]: volume for volume in pod["volumes"]}
        self.assertEqual(volumes["config"]["configMap"]["name"], config_map["metadata"]["name"])
        self.assertEqual(volumes["kmsg"]["hostPath"]["path"], KERNEL_CONFIG["logPath"])

    def test_kernel_log_rule(self):
        # As the detector matches its rules: against the last lines of the
        # log, joined, up to their end.
        self.assertEqual(KERNEL_CONFIG["plugin"], "kmsg")
        condition = KERNEL_CONFIG["conditions"][0]["type"]
        for line, reason in KERNEL_LINES:
            with self.subTest(line=line):
                log = f"usb 1-1: new high-speed USB device number 2 using xhci_hcd\n{line}"
                found = [rule["reason"] for rule in KERNEL_CONFIG["rules"]
                         if re.search(rule["pattern"] + r"\Z", log)]
                self.assertEqual(found, [reason] if reason else [])
        for rule in KERNEL_CONFIG["rules"]:
            self.assertEqual((rule["type"], rule["condition"]), ("permanent", condition))


class SystemdAndUdev(unittest.TestCase):
    def test_units_and_rule_verify(self):
        with tempfile.TemporaryDirectory() as units:
            for name in ("kalpex@.service", "kalpex@.timer", "kalpex-retire@.service"):
                with open(os.path.join(CONTRIB, name), encoding="utf-8") as source:
                    text = source.read().replace(INSTALLED_ADAPTER, ADAPTER)
                with open(os.path.join(units, name), "w", encoding="utf-8") as copy:
                    copy.write(text)
            # A GPU's units as udev names them, by its device's path (one
            # with no ':', which systemd-analyze verify takes for a path
            # list's separator in a file's name).
            gpu = "platform-vgem"
            instances = [os.path.join(units, name.replace("@", "@" + gpu))
                         for name in ("kalpex@.service", "kalpex@.timer", "kalpex-retire@.service")]
            for instance in instances:
                os.symlink(instance.replace(gpu, ""), instance)
            # Documentation=man:kalpex-monitor(8) man:kalpex(1) must resolve.
            for page in ("kalpex.1", "kalpex-monitor.8"):
                os.makedirs(os.path.join(units, "man", "man" + page[-1]), exist_ok=True)
                shutil.copy(os.path.join(SOURCE, "man", page), os.path.join(units, "man", "man" + page[-1]))
            done = subprocess.run(["systemd-analyze", "verify", *instances], capture_output=True, text=True,
                                  env={**os.environ, "MANPATH": os.path.join(units, "man")})
            self.assertEqual((done.returncode, done.stderr), (0, ""))
            # As locked down as systemd's own best-kept services.
            done = subprocess.run(["systemd-analyze", "security", "--offline=true", instances[0]],
                                  capture_output=True, text=True)
            exposure = re.search(r"Overall exposure level for kalpex@platform-vgem.service: ([0-9.]+)", done.stdout)
            self.assertIsNotNone(exposure, done.stdout + done.stderr)
            self.assertLessEqual(float(exposure.group(1)), 1.2, done.stdout)
        if shutil.which("udevadm") and subprocess.run(["udevadm", "verify", "--help"],
                                                      capture_output=True).returncode == 0:
            done = subprocess.run(["udevadm", "verify", os.path.join(CONTRIB, "71-kalpex.rules"),
                                   os.path.join(CONTRIB, "72-kalpex-checks.rules")], capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


if __name__ == "__main__":
    main()
