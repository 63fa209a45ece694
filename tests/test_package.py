"""What ships: the man page, `cmake --install`, the Debian package and the
contrib files."""
import atexit
import glob
import grp
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import EMULATOR, main, runnable

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
BUILD = os.environ["KALPEX_BUILD_DIR"]
MAN_PAGE = os.path.join(SOURCE, "man", "kalpex.1")
# What plugs kalpex into monitors, as installed with the prefix /usr.
CONTRIB_FILES = ["/usr/libexec/kalpex/kalpex-monitor", "/usr/lib/systemd/system/kalpex@.service",
                 "/usr/lib/systemd/system/kalpex@.timer", "/usr/lib/udev/rules.d/71-kalpex.rules",
                 "/usr/share/kalpex/node-problem-detector-kalpex.json",
                 "/usr/share/kalpex/node-problem-detector-kalpex.yaml", "/etc/default/kalpex"]


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **options)


# The Debian architecture of an ELF binary, by its machine field.
ELF_MACHINES = {62: "amd64", 183: "arm64"}


def assert_passes(test, binary):
    done = run(*EMULATOR, binary, "/dev/null")
    test.assertEqual(done.returncode, 0, done.stderr)
    test.assertIn("kalpex: PASS (SOFTWARE fallback)", done.stdout)


GPU_GROUPS = ("render", "video")
NODE_EXPORTER = "/var/lib/prometheus/node-exporter"


def name_exists(group):
    try:
        grp.getgrnam(group)
        return True
    except KeyError:
        return False


def leave_what_checks_leave():
    """What enabled checks leave on a machine: a shader cache, a lock, a
    published metrics file, and the instances the operator enabled. Yields
    the paths; node_exporter's folder is made where it is missing, and
    taken away again at exit."""
    for folder in (os.path.dirname(NODE_EXPORTER), NODE_EXPORTER):
        if not os.path.isdir(folder):
            os.mkdir(folder)
            atexit.register(os.rmdir, folder)
    files = ["/var/cache/kalpex/mesa_shader_cache/index", "/run/kalpex/dev-dri-renderD128.lock",
             f"{NODE_EXPORTER}/kalpex-renderD128.prom"]
    links = ["/etc/systemd/system/dev-dri-renderD128.device.wants/kalpex@renderD128.service",
             "/etc/systemd/system/timers.target.wants/kalpex@renderD128.timer"]
    for path in files + links:
        os.makedirs(os.path.dirname(path), exist_ok=True)
    for path in files:
        with open(path, "w", encoding="utf-8"):
            pass
    for path in links:
        os.symlink("/usr/lib/systemd/system/" + os.path.basename(path).replace("renderD128", ""), path)
    return files + links + [os.path.dirname(links[0])]


class ManPage(unittest.TestCase):
    def test_lint_clean(self):
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
        # Staged under DESTDIR: the settings file goes to /etc whatever the prefix.
        self.root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.root)
        done = run("cmake", "--install", BUILD, "--prefix", "/usr", env={**os.environ, "DESTDIR": self.root})
        self.assertEqual(done.returncode, 0, done.stderr)

    def staged(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def test_installs_binary_and_man_page(self):
        self.assertTrue(os.access(self.staged("/usr/bin/kalpex"), os.X_OK))
        self.assertTrue(os.path.isfile(self.staged("/usr/share/man/man1/kalpex.1")))
        assert_passes(self, self.staged("/usr/bin/kalpex"))
        self.assertEqual([path for path in CONTRIB_FILES if not os.path.isfile(self.staged(path))], [])
        self.assertTrue(os.access(self.staged(CONTRIB_FILES[0]), os.X_OK))


class DebianPackage(unittest.TestCase):
    def test_installs_runs_and_removes(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to install the package")
        if run("dpkg-query", "-W", "kalpex").returncode == 0:
            self.skipTest("a kalpex package is installed already; not touching it")
        with tempfile.TemporaryDirectory() as scratch:
            done = run("cpack", "-G", "DEB", "-B", scratch, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            package = glob.glob(os.path.join(scratch, "kalpex_*.deb"))[0]
            with open(os.path.join(BUILD, "kalpex"), "rb") as binary:
                machine = int.from_bytes(binary.read(20)[18:20], "little")
            self.assertEqual(run("dpkg-deb", "-f", package, "Architecture").stdout.strip(), ELF_MACHINES[machine])
            self.assertTrue(package.endswith(f"_{ELF_MACHINES[machine]}.deb"), package)
            # dpkg keeps an operator's settings across upgrades.
            self.assertEqual(run("dpkg-deb", "--info", package, "conffiles").stdout, "/etc/default/kalpex\n")
            depends = run("dpkg-deb", "-f", package, "Depends").stdout
            self.assertEqual(sorted(re.findall(r"(lib[\w.+-]+)", depends)), ["libc6", "libegl1", "libgbm1", "libgles2"])
            done = run("dpkg", "-i", package)
            self.assertEqual(done.returncode, 0, done.stderr)
            made = []
            try:
                assert_passes(self, "/usr/bin/kalpex")
                self.assertTrue(os.path.isfile("/usr/share/man/man1/kalpex.1"))
                self.assertEqual([path for path in CONTRIB_FILES if not os.path.isfile(path)], [])
                # The installed adapter runs the installed kalpex.
                done = run("/usr/libexec/kalpex/kalpex-monitor", "/dev/null",
                           env={**os.environ, "KALPEX": runnable("/usr/bin/kalpex")})
                self.assertEqual((done.returncode, done.stdout.splitlines()[0]),
                                 (0, "kalpex: PASS (SOFTWARE fallback)"))
                # The checks' user: a system user in the GPU groups there are.
                user = pwd.getpwnam("kalpex")
                self.assertLess(user.pw_uid, 1000)
                self.assertTrue(user.pw_shell.endswith("/nologin"), user.pw_shell)
                groups = {group.gr_name for group in grp.getgrall() if "kalpex" in group.gr_mem}
                self.assertEqual({name for name in GPU_GROUPS if name_exists(name)} - groups, set())
                installed = [path for path in run("dpkg", "-L", "kalpex").stdout.splitlines() if os.path.isfile(path)]
                made = leave_what_checks_leave()
            finally:
                done = run("dpkg", "--purge", "kalpex")
            self.assertEqual(done.returncode, 0, done.stderr)
            # Nothing stays but the user (Debian's policy keeps it).
            self.assertEqual([path for path in installed + made if os.path.lexists(path)], [])


if __name__ == "__main__":
    main()
