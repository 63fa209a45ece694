"""What monitors read of each outcome, through contrib/kalpex-monitor: the
node-problem-detector rule as the detector runs it, the Prometheus metrics as
node_exporter serves them, and the systemd units and udev rule."""
import glob
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.request

import yaml

from harness import KALPEX, STANDIN_DIR, main, runnable

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
BUILD = os.environ["KALPEX_BUILD_DIR"]
CONTRIB = os.path.join(SOURCE, "contrib")
ADAPTER = os.path.join(CONTRIB, "kalpex-monitor")
KALPEX_RUN = runnable(KALPEX)  # what the adapter runs as KALPEX
INSTALLED_ADAPTER = "/usr/libexec/kalpex/kalpex-monitor"
# Unpacked from Debian's packages by `make test`, so no Prometheus service
# is installed on the machine.
PROMTOOL = (glob.glob(os.path.join(BUILD, "prometheus", "*", "usr", "bin", "promtool")) or ["promtool"])[0]
NODE_EXPORTER = os.path.join(BUILD, "prometheus", "prometheus-node-exporter", "usr", "bin",
                             "prometheus-node-exporter")
# A long renderer string as hardware drivers give it.
LONG_RENDERER = "AMD Radeon RX 7900 XTX (radeonsi, gfx1100, LLVM 15.0.7, DRM 3.54, 6.5.0-35-generic)"

with open(os.path.join(CONTRIB, "node-problem-detector-kalpex.json"), encoding="utf-8") as config_file:
    CONFIG = json.load(config_file)

# (outcome, kalpex arguments, stand-in steering or None for real Mesa, extra
#  adapter options, the adapter's first line (a pattern), its status, what
#  the metrics say beyond probe_success)
OUTCOMES = [
    ("hardware pass", ["/dev/null"], {"RENDERER": LONG_RENDERER}, [],
     r"kalpex: PASS \(HARDWARE\)", 0, 'kalpex_probe_hardware{node="/dev/null"} 1'),
    ("software pass", ["/dev/null"], None, [],
     r"kalpex: PASS \(SOFTWARE fallback\)", 0, 'kalpex_probe_hardware{node="/dev/null"} 0'),
    ("software under --require-hw", ["--require-hw", "/dev/null"], None, [],
     r"kalpex: FAIL --require-hw: software renderer answered \(renderer: llvmpipe .*, eglError 0x3000\)", 1,
     'stage="--require-hw: software renderer answered"'),
    ("bring-up failure", ["/dev/null"], {"FAIL": "eglInitialize", "EGL_ERROR": "0x3001"}, [],
     r"kalpex: FAIL eglInitialize \(renderer: \(none\), eglError 0x3001\)", 1, 'stage="eglInitialize"'),
    ("no node", ['/no "such"\\node'], None, [],
     r'kalpex: FAIL open /no "such"\\node', 1, 'node="/no \\"such\\"\\\\node",stage="open"'),
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


class Outcomes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for tool in (PROMTOOL, NODE_EXPORTER):
            if not os.access(tool, os.X_OK):
                raise AssertionError(f"{tool} is missing: `make test` unpacks it")
        cls.textfiles = tempfile.mkdtemp()
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            cls.port = probe.getsockname()[1]
        cls.exporter = subprocess.Popen(
            [NODE_EXPORTER, f"--web.listen-address=127.0.0.1:{cls.port}", "--collector.disable-defaults",
             "--collector.textfile", f"--collector.textfile.directory={cls.textfiles}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                cls.scrape()
                return
            except OSError:
                time.sleep(0.1)
        raise AssertionError("node_exporter did not answer")

    @classmethod
    def tearDownClass(cls):
        cls.exporter.kill()
        cls.exporter.wait()
        shutil.rmtree(cls.textfiles)

    @classmethod
    def scrape(cls):
        with urllib.request.urlopen(f"http://127.0.0.1:{cls.port}/metrics", timeout=10) as answer:
            return answer.read().decode()

    def test_every_outcome(self):
        rule = CONFIG["rules"][0]
        textfile = os.path.join(self.textfiles, "kalpex.prom")
        for outcome, args, steering, options, first_line, status, metric in OUTCOMES:
            with self.subTest(outcome=outcome):
                env = {k: v for k, v in os.environ.items() if not k.startswith("STANDIN_")}
                env["KALPEX"] = "/nonexistent/kalpex" if status == 2 else KALPEX_RUN
                if steering is not None:
                    env.update({f"STANDIN_{k}": v for k, v in steering.items()}, LD_LIBRARY_PATH=STANDIN_DIR)
                done = subprocess.run([ADAPTER, *options, f"--textfile={textfile}", "--", *args], env=env,
                                      capture_output=True, text=True, timeout=60)
                lines = done.stdout.splitlines()
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertRegex(lines[0], f"^{first_line}$")
                if steering and "RENDERER" in steering:
                    self.assertEqual(lines[1:], [f"kalpex: GL_RENDERER={steering['RENDERER']}"])
                # Nothing kalpex wrote is lost, and nothing twice.
                self.assertNotIn(lines[0], done.stderr)

                with open(textfile, encoding="utf-8") as metrics:
                    lint = subprocess.run([PROMTOOL, "check", "metrics"], stdin=metrics, capture_output=True,
                                          text=True)
                self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, ""))
                served = self.scrape()
                self.assertIn("node_textfile_scrape_error 0", served)
                self.assertRegex(served, rf"kalpex_probe_success{{node=.*}} {1 if status == 0 else 0}\n")
                self.assertIn(metric, served)
                self.assertRegex(served, r"kalpex_probe_duration_seconds{node=.*} [0-9.e+-]+\n")
                self.assertRegex(served, r"kalpex_probe_last_run_timestamp_seconds{node=.*} [0-9.e+]+\n")

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


class DetectorConfig(unittest.TestCase):
    def test_rule_bounds_and_settings(self):
        settings = CONFIG["pluginConfig"]
        self.assertTrue(settings["skip_initial_status"] and settings["enable_message_change_based_condition_update"])
        for rule in CONFIG["rules"]:
            bound = next(int(arg.split("=")[1]) for arg in rule["args"] if arg.startswith("--timeout="))
            # The adapter answers before the detector kills it, and the
            # detector refuses a rule timeout above its global one.
            self.assertLess(bound, seconds(rule["timeout"]))
            self.assertLessEqual(seconds(rule["timeout"]), seconds(settings["timeout"]))
            self.assertEqual(rule["args"][rule["args"].index(INSTALLED_ADAPTER) + 1:],
                             [f"--timeout={bound}", "--require-hw"])
            self.assertEqual(rule["condition"], CONFIG["conditions"][0]["type"])

    def test_manifest_carries_the_same_config(self):
        with open(os.path.join(CONTRIB, "node-problem-detector-kalpex.yaml"), encoding="utf-8") as file:
            documents = {document["kind"]: document for document in yaml.safe_load_all(file)}
        config_map, pod = documents["ConfigMap"], documents["DaemonSet"]["spec"]["template"]["spec"]
        (key, text), = config_map["data"].items()
        self.assertEqual(json.loads(text), CONFIG)
        self.assertTrue(pod["hostPID"] and pod["containers"][0]["securityContext"]["privileged"])
        self.assertIn(f"--config.custom-plugin-monitor=/config/{key}", pod["containers"][0]["command"])
        self.assertEqual(pod["volumes"][0]["configMap"]["name"], config_map["metadata"]["name"])


class SystemdAndUdev(unittest.TestCase):
    def test_units_and_rule_verify(self):
        with tempfile.TemporaryDirectory() as units:
            for name in ("kalpex@.service", "kalpex@.timer"):
                with open(os.path.join(CONTRIB, name), encoding="utf-8") as source:
                    text = source.read().replace(INSTALLED_ADAPTER, ADAPTER)
                with open(os.path.join(units, name), "w", encoding="utf-8") as copy:
                    copy.write(text)
            instances = [os.path.join(units, name) for name in ("kalpex@renderD128.service", "kalpex@renderD128.timer")]
            for instance in instances:
                os.symlink(instance.replace("renderD128", ""), instance)
            # Documentation=man:kalpex(1) must resolve.
            os.makedirs(os.path.join(units, "man", "man1"))
            shutil.copy(os.path.join(SOURCE, "man", "kalpex.1"), os.path.join(units, "man", "man1"))
            done = subprocess.run(["systemd-analyze", "verify", *instances], capture_output=True, text=True,
                                  env={**os.environ, "MANPATH": os.path.join(units, "man")})
            self.assertEqual((done.returncode, done.stderr), (0, ""))
        if shutil.which("udevadm") and subprocess.run(["udevadm", "verify", "--help"],
                                                      capture_output=True).returncode == 0:
            done = subprocess.run(["udevadm", "verify", os.path.join(CONTRIB, "71-kalpex.rules")],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


if __name__ == "__main__":
    main()
