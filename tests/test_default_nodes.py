"""The default node order, on nodes bind-mounted in a private mount
namespace: the machine's own /dev is never changed."""
import os
import subprocess
import tempfile
import unittest

from harness import SOFTWARE_PASS_TAIL, main, opened, run_kalpex

# Lays an overlay over /dev inside the namespace, a tmpfs on /dev/dri in it,
# and /dev/null bound onto each node named in $NODES.
NAMESPACE_SETUP = r"""
set -e
scratch=$1; shift
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work"
mount -t overlay overlay -o "lowerdir=/dev,upperdir=$scratch/upper,workdir=$scratch/work" /dev
mkdir -p /dev/dri
mount -t tmpfs tmpfs /dev/dri
for node in $NODES; do : > "/dev/dri/$node"; mount --bind /dev/null "/dev/dri/$node"; done
# With HIDE_NULL set: no /dev/null, and kalpex starts with standard input closed.
[ -z "${HIDE_NULL:-}" ] || { rm /dev/null; exec "$@" <&-; }
exec "$@"
"""
RENDER, CARD = "/dev/dri/renderD128", "/dev/dri/card0"


def namespace(scratch):
    """The command line that runs what follows it inside the namespace."""
    return ("unshare", "-m", "--propagation", "private", "sh", "-c", NAMESPACE_SETUP, "sh", scratch)


def in_namespace(nodes, *args, **options):
    with tempfile.TemporaryDirectory() as scratch:
        env = {"NODES": " ".join(nodes), **options.pop("env", {})}
        return run_kalpex(*args, wrap=namespace(scratch), env=env, **options)


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


class DefaultNodes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        problem = namespace_problem()
        if problem:
            print(f"SKIPPED: {problem}")
            raise unittest.SkipTest(problem)

    def test_default_order(self):
        # (nodes present, arguments, stand-in steering, nodes opened, expected lines)
        cases = [
            (["renderD128", "card0"], [], {}, [RENDER], [f"kalpex: node={RENDER}"], []),
            (["card0"], [], {}, [RENDER, CARD], [f"kalpex: node={CARD}"], []),
            ([], [], {}, [RENDER, CARD], [], [f"kalpex: FAIL open {CARD}"]),
            (["renderD128", "card0"], ["/nonexistent"], {}, ["/nonexistent"], [], ["kalpex: FAIL open /nonexistent"]),
            (["renderD128", "card0"], [], {"STANDIN_FAIL": "gbm_create_device"}, [RENDER], [],
             ["kalpex: FAIL gbm_create_device (renderer: (none), eglError 0x3000)"]),
            (["renderD128"], ["--require-hw"], {"STANDIN_RENDERER": "llvmpipe"}, [RENDER], [f"kalpex: node={RENDER}"],
             ["kalpex: FAIL --require-hw: software renderer answered (renderer: llvmpipe, eglError 0x3000)"]),
        ]
        for nodes, args, steering, tried, out, err in cases:
            with self.subTest(nodes=nodes, args=args, steering=steering):
                run = in_namespace(nodes, *args, standin=True, env=steering)
                self.assertEqual(opened(run), tried)
                self.assertEqual((run.out[:1], run.err, run.status), (out, err, 1 if err else 0))

    def test_closed_stream_with_nothing_to_hold_its_place(self):
        run = in_namespace(["renderD128"], standin=True, env={"HIDE_NULL": "1"})
        self.assertEqual((run.status, run.stdout, run.err), (1, b"", ["kalpex: FAIL open /dev/null"]))
        self.assertEqual(opened(run), ["/dev/null"])

    def test_real_mesa_on_the_render_node(self):
        run = in_namespace(["renderD128"])
        self.assertEqual(run.out[0], f"kalpex: node={RENDER}")
        self.assertEqual(run.out[3:], SOFTWARE_PASS_TAIL)
        self.assertEqual(run.status, 0)


if __name__ == "__main__":
    main()
