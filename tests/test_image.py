# SPDX-License-Identifier: MIT
"""The images that `make image` writes, run as a container runtime runs
them: each image's own entry point, user and environment over its files, in
a mount namespace of its own with a /dev of its own, and /dev/null given as
the render node. The kalpex image, and the detector's rule in the detector's
image."""
import json
import os
import re
import shutil
import subprocess
import unittest

import yaml

from harness import main

SOURCE = os.environ["KALPEX_SOURCE_DIR"]
IMAGES = os.path.join(os.environ["KALPEX_BUILD_DIR"], "images")
BUILDAH = ["buildah", "--root", os.path.join(IMAGES, "storage"), "--runroot", os.path.join(IMAGES, "run")]
ADAPTER = "/usr/libexec/kalpex/kalpex-monitor"
# The adapter's first line for llvmpipe under --require-hw, on renderD128.
SOFTWARE_UNDER_REQUIRE_HW = (r"kalpex: FAIL --require-hw: software renderer answered \(renderer: llvmpipe .*\) "
                             r"through gbm on /dev/dri/renderD128")
with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as cmake:
    VERSION = re.search(r"project\(kalpex VERSION ([0-9.]+)", cmake.read()).group(1)

# What a runtime gives a container: its own /dev with the basic nodes, proc,
# a scratch /tmp, and the nodes it was given: $NODE (a render node's name,
# or name:mode for a node of that mode, root's) made from /dev/null.
RUNTIME = r"""
set -e
root=$1 user=$2
shift 2
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=755 tmpfs "$root/dev"
for name in null zero full random urandom tty; do
    : >"$root/dev/$name" && mount --bind "/dev/$name" "$root/dev/$name"
done
mount -t tmpfs tmpfs "$root/tmp"
if [ -n "$NODE" ]; then
    mkdir "$root/dev/dri"
    mknod -m "${NODE#*:}" "$root/dev/dri/${NODE%%:*}" c 1 3
fi
exec chroot --userspec="$user" --groups="${user#*:}" "$root" "$@"
"""


def image(test, archive):
    """The image in archive, unpacked for the test: its files and its
    configuration."""
    path = os.path.join(IMAGES, archive)
    if not os.path.exists(path):
        raise AssertionError(f"no {path}: `make image` builds it")
    container = subprocess.run([*BUILDAH, "from", "--quiet", f"oci-archive:{path}"], capture_output=True,
                               text=True, check=True).stdout.split()[-1]
    test.addCleanup(subprocess.run, [*BUILDAH, "rm", container], capture_output=True, check=False)
    root = subprocess.run([*BUILDAH, "mount", container], capture_output=True, text=True,
                          check=True).stdout.strip()
    config = json.loads(subprocess.run([*BUILDAH, "inspect", "--type", "container", container],
                                       capture_output=True, text=True, check=True).stdout)["OCIv1"]["config"]
    return root, config


def run(root, config, command, node):
    """command in the image as its runtime would run it: as the image's user,
    with the image's environment and nothing else."""
    done = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", RUNTIME, "sh", root,
                           config["User"], "env", "-i", *config["Env"], *command],
                          env={**os.environ, "NODE": node or ""}, capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode().splitlines()


def problem():
    """Why the images cannot be run here, or None."""
    if os.geteuid() != 0:
        return "needs root to unpack the images and run them in a mount namespace"
    if not shutil.which("buildah"):
        return "buildah is not installed (`make image` installs it)"
    return None


@unittest.skipIf(problem(), problem())
class KalpexImage(unittest.TestCase):
    # (case, the node given, the adapter's arguments, its lines, its status)
    CASES = [
        # Every path answers from the image's own Mesa: its Vulkan too.
        ("a software pass on each path", "renderD128:666", [],
         [rf"kalpex: PASS \(SOFTWARE fallback\) through {api} on /dev/dri/renderD128"
          for api in ("gbm", "egl-device", "vulkan")], 0),
        ("--require-hw", "renderD128:666", ["--require-hw"], [SOFTWARE_UNDER_REQUIRE_HW, ".*", ".*"], 1),
        # No GPU found: each probe's own choice, each line with its
        # renderer beneath it.
        ("no node given", None, [], [r"kalpex: FAIL open /dev/dri/card0 through gbm: No such file or directory",
                                     r"kalpex: PASS \(SOFTWARE fallback\) through egl-device",
                                     "kalpex: GL_RENDERER=llvmpipe .*",
                                     r"kalpex: PASS \(SOFTWARE fallback\) through vulkan",
                                     "kalpex: VK_DEVICE=llvmpipe .*"], 1),
        # The check is no root: a node only root may open fails at open.
        ("a node only root may open", "renderD128:600", [],
         [r"kalpex: FAIL open /dev/dri/renderD128 through gbm: Permission denied for "
          r"user kalpex \(crw------- .*\)", ".*", ".*"], 1),
    ]

    def test_the_check_as_a_workload_runs_it(self):
        root, config = image(self, "kalpex.tar")
        self.assertEqual(config["Entrypoint"], [ADAPTER])
        self.assertEqual(config["User"], "65532:65532")
        self.assertIn("NVIDIA_DRIVER_CAPABILITIES=graphics", config["Env"])
        self.assertEqual(config["Labels"]["org.opencontainers.image.version"], VERSION)
        with open(os.path.join(root, "etc", "passwd"), encoding="utf-8") as passwd:
            self.assertIn("kalpex:x:65532:65532:", passwd.read())
        # Nothing an image does not need: package lists, manuals, compilers.
        self.assertEqual(set(os.listdir(os.path.join(root, "var", "lib", "apt", "lists"))) - {"partial", "lock"}, set())
        for path in ("usr/share/man/man1", "usr/bin/cc", "usr/bin/cmake"):
            self.assertFalse(os.path.exists(os.path.join(root, path)), path)
        for case, node, arguments, wanted, status in self.CASES:
            with self.subTest(case):
                got_status, lines = run(root, config, [*config["Entrypoint"], *arguments], node)
                self.assertEqual((got_status, len(lines)), (status, len(wanted)), lines)
                for line, pattern in zip(lines, wanted):
                    self.assertRegex(line, f"^{pattern}$")


@unittest.skipIf(problem(), problem())
class DetectorImage(unittest.TestCase):
    def test_the_rule_runs_inside_the_image(self):
        root, config = image(self, "kalpex-node-problem-detector.tar")
        self.assertEqual(config["Entrypoint"][0], "/node-problem-detector")
        self.assertIn("--config.custom-plugin-monitor=/config/kalpex-monitor.json", config["Entrypoint"])
        # The shipped config, with the adapter run in the pod, not through
        # nsenter on the host.
        with open(os.path.join(root, "config", "kalpex-monitor.json"), encoding="utf-8") as file:
            in_image = json.load(file)
        with open(os.path.join(SOURCE, "contrib", "node-problem-detector-kalpex.json"), encoding="utf-8") as file:
            shipped = json.load(file)
        for rule in shipped["rules"]:
            rule["args"] = rule["args"][rule["args"].index(ADAPTER) + 1:]
            rule["path"] = ADAPTER
        self.assertEqual(in_image, shipped)
        # As the detector reads it: standard output alone, status 1 a problem.
        (rule,) = in_image["rules"]
        status, lines = run(root, config, [rule["path"], *rule["args"]], "renderD128:666")
        self.assertEqual(status, 1, lines)
        self.assertRegex(lines[0], f"^{SOFTWARE_UNDER_REQUIRE_HW}$")
        # Its DaemonSet runs this image as it is, as the image's user.
        with open(os.path.join(SOURCE, "contrib", "container", "node-problem-detector-kalpex-image.yaml"),
                  encoding="utf-8") as file:
            pod = next(document for document in yaml.safe_load_all(file)
                       if document["kind"] == "DaemonSet")["spec"]["template"]["spec"]
        check, kernel_log = pod["containers"]
        self.assertEqual(check["image"], f"localhost/kalpex-node-problem-detector:{VERSION}")
        self.assertNotIn("command", check)
        self.assertNotIn("hostPID", pod)
        self.assertEqual(f"{pod['securityContext']['runAsUser']}:{pod['securityContext']['runAsGroup']}",
                         config["User"])
        # Beside it, the same image reads the kernel's log as root, with the
        # shipped kernel-log rule alone.
        self.assertEqual(kernel_log["image"], check["image"])
        self.assertEqual(kernel_log["securityContext"]["runAsUser"], 0)
        monitors = [arg for arg in kernel_log["command"] if arg.startswith("--config.")]
        self.assertEqual(monitors, ["--config.system-log-monitor=/config/kalpex-kernel-monitor.json"])
        with open(os.path.join(root, "config", "kalpex-kernel-monitor.json"), encoding="utf-8") as file:
            in_image = json.load(file)
        with open(os.path.join(SOURCE, "contrib", "node-problem-detector-kalpex-kernel.json"), encoding="utf-8") as file:
            self.assertEqual(in_image, json.load(file))


if __name__ == "__main__":
    main()
