"""What ships: the man page, `cmake --install`, the Debian package and the
contrib files."""
import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import main

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
BUILD = os.environ["KALPEX_BUILD_DIR"]
MAN_PAGE = os.path.join(SOURCE, "man", "kalpex.1")
UNIT = os.path.join(SOURCE, "contrib", "kalpex.service")
MONITOR = os.path.join(SOURCE, "contrib", "node-problem-detector-kalpex.json")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **options)


def assert_passes(test, binary):
    done = run(binary, "/dev/null")
    test.assertEqual(done.returncode, 0, done.stderr)
    test.assertIn("kalpex: PASS (SOFTWARE fallback)", done.stdout)


class ManPage(unittest.TestCase):
    def test_lint_clean(self):
        if not shutil.which("mandoc"):
            self.skipTest("mandoc is not installed")
        done = run("mandoc", "-T", "lint", "-W", "warning", MAN_PAGE)
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_names_every_stage_text(self):
        with open(MAN_PAGE, encoding="utf-8") as file:
            page = file.read().replace("\\-", "-")
        stages = []
        for source in glob.glob(os.path.join(SOURCE, "gpu", "*.cpp")):
            with open(source, encoding="utf-8") as file:
                stages += re.findall(r'fail\("([^"]+)"\)', file.read())
        self.assertGreaterEqual(len(stages), 11)
        self.assertEqual([stage for stage in stages if stage not in page], [])


class Install(unittest.TestCase):
    def setUp(self):
        self.prefix = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.prefix)
        done = run("cmake", "--install", BUILD, "--prefix", self.prefix)
        self.assertEqual(done.returncode, 0, done.stderr)

    def test_installs_binary_and_man_page(self):
        self.assertTrue(os.access(os.path.join(self.prefix, "bin", "kalpex"), os.X_OK))
        self.assertTrue(os.path.isfile(os.path.join(self.prefix, "share", "man", "man1", "kalpex.1")))
        assert_passes(self, os.path.join(self.prefix, "bin", "kalpex"))

    def test_systemd_unit_verifies(self):
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        unit = os.path.join(self.prefix, "kalpex.service")
        with open(UNIT, encoding="utf-8") as source, open(unit, "w", encoding="utf-8") as copy:
            copy.write(source.read().replace("/usr/bin/kalpex", os.path.join(self.prefix, "bin", "kalpex")))
        done = run("systemd-analyze", "verify", unit,
                   env={**os.environ, "MANPATH": os.path.join(self.prefix, "share", "man")})
        self.assertEqual((done.returncode, done.stderr), (0, ""))


class DebianPackage(unittest.TestCase):
    def test_installs_runs_and_removes(self):
        if os.geteuid() != 0 or not shutil.which("dpkg-shlibdeps"):
            self.skipTest("needs root and dpkg-dev to build and install the package")
        if run("dpkg-query", "-W", "kalpex").returncode == 0:
            self.skipTest("a kalpex package is installed already; not touching it")
        with tempfile.TemporaryDirectory() as scratch:
            done = run("cpack", "-G", "DEB", "-B", scratch, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            package = glob.glob(os.path.join(scratch, "kalpex_*.deb"))[0]
            depends = run("dpkg-deb", "-f", package, "Depends").stdout
            self.assertEqual(sorted(re.findall(r"(lib[\w.+-]+)", depends)), ["libc6", "libegl1", "libgbm1", "libgles2"])
            done = run("dpkg", "-i", package)
            self.assertEqual(done.returncode, 0, done.stderr)
            try:
                assert_passes(self, "/usr/bin/kalpex")
                self.assertTrue(os.path.isfile("/usr/share/man/man1/kalpex.1"))
            finally:
                done = run("dpkg", "--purge", "kalpex")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertFalse(os.path.exists("/usr/bin/kalpex"))


class NodeProblemDetector(unittest.TestCase):
    def test_custom_plugin_monitor_config(self):
        with open(MONITOR, encoding="utf-8") as file:
            config = json.load(file)
        self.assertEqual(config["plugin"], "custom")
        self.assertTrue({"invoke_interval", "timeout", "max_output_length", "concurrency"}
                        <= config["pluginConfig"].keys())
        conditions = {condition["type"] for condition in config["conditions"]}
        for condition in config["conditions"]:
            self.assertTrue(condition["reason"] and condition["message"])
        self.assertEqual({rule["type"] for rule in config["rules"]}, {"temporary", "permanent"})
        for rule in config["rules"]:
            self.assertTrue(rule["reason"] and rule["path"].endswith("/kalpex") and os.path.isabs(rule["path"]))
            if rule["type"] == "permanent":
                self.assertIn(rule["condition"], conditions)


if __name__ == "__main__":
    main()
