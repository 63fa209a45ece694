# SPDX-License-Identifier: MIT
"""What ships: the man page, `cmake --install`, the Debian package (as
Debian's own checkers judge it) and the contrib files, and the source
tarball it can be built from."""
import atexit
import glob
import grp
import gzip
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import EMULATOR, main, namespace_problem, runnable

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
BUILD = os.environ["KALPEX_BUILD_DIR"]
# The page as built, with the version in it.
MAN_PAGE = os.path.join(BUILD, "kalpex.1")
# What plugs kalpex into monitors, as installed with the prefix /usr.
CONTRIB_FILES = ["/usr/libexec/kalpex/kalpex-monitor", "/usr/lib/systemd/system/kalpex@.service",
                 "/usr/lib/systemd/system/kalpex@.timer", "/usr/lib/systemd/system/kalpex-retire@.service",
                 "/usr/lib/udev/rules.d/71-kalpex.rules", "/usr/lib/udev/rules.d/72-kalpex-checks.rules",
                 "/usr/share/man/man8/kalpex-monitor.8.gz", "/usr/share/man/man8/check_kalpex.8.gz",
                 "/usr/share/man/man8/kalpex-slurm.8.gz", "/usr/bin/kalpex-vulkan",
                 "/usr/share/man/man1/kalpex-vulkan.1.gz", "/usr/bin/kalpex-egl-device",
                 "/usr/share/man/man1/kalpex-egl-device.1.gz",
                 "/usr/share/kalpex/node-problem-detector-kalpex.json",
                 "/usr/share/kalpex/node-problem-detector-kalpex-kernel.json",
                 "/usr/share/kalpex/node-problem-detector-kalpex.yaml", "/usr/share/kalpex/kalpex-alerts.yml",
                 "/etc/default/kalpex", "/usr/lib/nagios/plugins/check_kalpex", "/usr/libexec/kalpex/slurm-health-check",
                 "/usr/libexec/kalpex/slurm-prolog", "/usr/libexec/kalpex/slurm-breaker.awk", "/usr/share/kalpex/nrpe-kalpex.cfg",
                 "/usr/share/kalpex/icinga2-kalpex.conf", "/usr/share/doc/kalpex/README.md",
                 "/usr/share/doc/kalpex/docs/kernel-events.md"]


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **options)


# The installed adapter, through the emulator in a cross build.
INSTALLED_ADAPTER = runnable("/usr/libexec/kalpex/kalpex-monitor")

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
    # Each program's page as built, how its sources name a failing stage,
    # and the sources of gpu/ that are not its.
    PAGES = [(MAN_PAGE, r'fail\("([^"]+)"\)', 11, ["egl_device.cpp"]),
             (os.path.join(BUILD, "kalpex-egl-device.1"), r'fail\("([^"]+)"\)', 14, ["gbm.cpp"]),
             (os.path.join(BUILD, "kalpex-vulkan.1"), r'fail_vulkan\((?:[^"]*\? )?"([^"]+)"', 3, [])]

    def test_lint_clean(self):
        for page, *_ in self.PAGES:
            with self.subTest(page=page):
                done = run("mandoc", "-T", "lint", "-W", "warning", page)
                self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_names_every_stage_text(self):
        for page_path, pattern, least, not_its in self.PAGES:
            with self.subTest(page=page_path), open(page_path, encoding="utf-8") as file:
                page = file.read().replace("\\-", "-")
                stages = []
                for source in glob.glob(os.path.join(SOURCE, "gpu", "*.cpp")):
                    if os.path.basename(source) in not_its:
                        continue
                    with open(source, encoding="utf-8") as file:
                        stages += re.findall(pattern, file.read())
                self.assertGreaterEqual(len(stages), least)
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
        self.assertTrue(os.path.isfile(self.staged("/usr/share/man/man1/kalpex.1.gz")))
        assert_passes(self, self.staged("/usr/bin/kalpex"))
        self.assertEqual([path for path in CONTRIB_FILES if not os.path.isfile(self.staged(path))], [])
        self.assertTrue(os.access(self.staged(CONTRIB_FILES[0]), os.X_OK))
        # kalpex needs the driver stack's three libraries and the C library
        # (with, on some architectures, the dynamic loader): no C++ runtime.
        needed = [name for name in re.findall(r"\(NEEDED\).*\[(.*)\]",
                                              run("readelf", "-d", self.staged("/usr/bin/kalpex")).stdout)
                  if not name.startswith("ld-linux")]
        self.assertEqual(sorted(needed), ["libEGL.so.1", "libGLESv2.so.2", "libc.so.6", "libgbm.so.1"])


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
            self.assertEqual(sorted(re.findall(r"(lib[\w.+-]+)", depends)), ["libc6", "libegl1", "libgbm1", "libgles2", "libvulkan1"])
            # Debian's checker finds nothing, pedantic and informational
            # tags included; a deliberate tag has an override with a reason.
            done = run("lintian", "--pedantic", "--display-info", "--tag-display-limit", "0", package)
            self.assertEqual([line for line in done.stdout.splitlines() if re.match(r"[EWIPXO]: ", line)], [],
                             done.stdout)
            version = run("dpkg-deb", "-f", package, "Version").stdout.strip()
            done = run("dpkg", "-i", package)
            self.assertEqual(done.returncode, 0, done.stderr)
            made = []
            try:
                assert_passes(self, "/usr/bin/kalpex")
                self.assertTrue(os.path.isfile("/usr/share/man/man1/kalpex.1.gz"))
                self.assertEqual([path for path in CONTRIB_FILES if not os.path.isfile(path)], [])
                # The installed adapter runs the installed kalpex.
                done = run(INSTALLED_ADAPTER, "/dev/null",
                           env={**os.environ, "KALPEX": runnable("/usr/bin/kalpex")})
                self.assertEqual((done.returncode, done.stdout.splitlines()[0]),
                                 (0, "kalpex: PASS (SOFTWARE fallback)"))
                # Built with the distribution's hardening: every check passes
                # that the distribution's own binaries pass. Debian 13's
                # hardening-check also looks for control-flow and branch
                # protection that no binary linked with its C library gets
                # (dpkg itself has neither), and Debian 12's for the first.
                reference = run("hardening-check", "/usr/bin/dpkg").stdout
                skip = [option for check, option in (("Control flow integrity", "--nocfprotection"),
                                                     ("Branch Protection", "--nobranchprotection"))
                        if re.search(f"{check}: no", reference)]
                done = run("hardening-check", *skip, "/usr/bin/kalpex", "/usr/libexec/kalpex/kalpex-monitor")
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                # One version: the package's, in the adapter's metrics and
                # at the top of the packaged changelog.
                with tempfile.TemporaryDirectory() as metrics:
                    run(INSTALLED_ADAPTER, f"--textfile={metrics}/k.prom", "/dev/null",
                        env={**os.environ, "KALPEX": runnable("/usr/bin/kalpex")})
                    with open(f"{metrics}/k.prom", encoding="utf-8") as file:
                        self.assertIn(f'kalpex_build_info{{device="/dev/null",api="gbm",version="{version}"}} 1', file.read())
                with gzip.open("/usr/share/doc/kalpex/changelog.gz", "rt", encoding="utf-8") as changelog:
                    self.assertTrue(changelog.readline().startswith(f"kalpex ({version}) "))
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


class SourceInstall(unittest.TestCase):
    def test_make_install_under_usr_local(self):
        # make install PREFIX=/usr/local from this tree, as an operator runs
        # it, in a private mount namespace with /usr/local and /etc/default
        # of its own: the adapter it installs runs the kalpex it installed,
        # and systemd takes the unit it installed.
        if EMULATOR:
            self.skipTest("the native build checks make install; a cross build installs the same files")
        problem = namespace_problem()
        if problem:
            self.skipTest(problem)
        with tempfile.TemporaryDirectory() as scratch:
            os.chmod(scratch, 0o755)
            script = f"""set -e
mount -t tmpfs tmpfs /usr/local
mount -t tmpfs tmpfs /etc/default
cd {SOURCE}
make install PREFIX=/usr/local BUILD={scratch}/build >{scratch}/install.log 2>&1 ||
    {{ cat {scratch}/install.log; exit 1; }}
tail -n 2 {scratch}/install.log
ln -s /usr/local/lib/systemd/system/kalpex@.service {scratch}/kalpex@renderD128.service
systemd-analyze verify {scratch}/kalpex@renderD128.service
# What runs the adapter names the prefix's paths, and none of the package's.
configs="/usr/local/lib/systemd/system/kalpex@.service /usr/local/lib/udev/rules.d/71-kalpex.rules
         /usr/local/libexec/kalpex/slurm-health-check /usr/local/share/kalpex/nrpe-kalpex.cfg
         /usr/local/share/kalpex/node-problem-detector-kalpex.json"
grep -h -v '^ *#' $configs | grep -c -e /usr/local/libexec/kalpex/ -e /usr/local/lib/nagios/
grep -h -v '^ *#' $configs | grep -c -e usr/libexec -e usr/lib/nagios || :
unset KALPEX
/usr/local/libexec/kalpex/kalpex-monitor /dev/null 2>/dev/null
"""
            done = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script],
                                  capture_output=True, text=True, timeout=900)
        self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
        self.assertEqual(done.stdout.splitlines()[:5],
                         ["made the checks' user, kalpex (systemd-sysusers)",
                          "then let systemd and udev see the new files: systemctl daemon-reload && udevadm control --reload",
                          "8", "0", "kalpex: PASS (SOFTWARE fallback)"])


class SourceTarball(unittest.TestCase):
    def test_builds_the_same_package(self):
        if EMULATOR:
            self.skipTest("the native build checks the tarball; its sources are the same")
        if run("git", "-C", SOURCE, "status", "--porcelain", "--untracked-files=no").stdout:
            self.skipTest("the checkout has uncommitted changes, which the tarball of HEAD lacks")
        with tempfile.TemporaryDirectory() as scratch:
            done = run("make", "-C", SOURCE, "dist", "TAG=HEAD", f"BUILD={scratch}")
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            (tarball,) = glob.glob(os.path.join(scratch, "kalpex-*.tar.gz"))
            run("tar", "-xzf", tarball, "-C", scratch)
            tree = tarball.removesuffix(".tar.gz")
            # Built as the checkout's package was: its folder named alike,
            # and the build type and flags its builder chose.
            folder = os.path.join(tree, os.path.basename(BUILD))
            with open(os.path.join(BUILD, "CMakeCache.txt"), encoding="utf-8") as cache:
                chosen = dict(re.findall(r"^(\w+):\w+=(.*)$", cache.read(), re.M))
            same = [f"-D{name}={chosen[name]}" for name in ("CMAKE_BUILD_TYPE", "CMAKE_CXX_FLAGS",
                                                             "CMAKE_EXE_LINKER_FLAGS", "KALPEX_MAINTAINER")]
            for command in (["cmake", "-S", tree, "-B", folder, "-DKALPEX_TESTS=OFF", *same],
                            ["cmake", "--build", folder], ["cpack", "-G", "DEB", "-B", folder,
                                                          "--config", os.path.join(folder, "CPackConfig.cmake")]):
                done = subprocess.run(command, capture_output=True, text=True, timeout=300, check=False)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            (rebuilt,) = glob.glob(os.path.join(folder, "kalpex_*.deb"))
            done = run("cpack", "-G", "DEB", "-B", os.path.join(scratch, "checkout"),
                       "--config", os.path.join(BUILD, "CPackConfig.cmake"))
            (package,) = glob.glob(os.path.join(scratch, "checkout", "kalpex_*.deb"))
            # The same files, byte for byte, and the same control fields.
            for part in ("md5sums", "control", "conffiles", "postinst", "prerm", "postrm"):
                self.assertEqual(run("dpkg-deb", "--info", rebuilt, part).stdout,
                                 run("dpkg-deb", "--info", package, part).stdout, part)


if __name__ == "__main__":
    main()
