# SPDX-License-Identifier: MIT
"""The default node order, on nodes bind-mounted in a private mount
namespace: the machine's own /dev is never changed."""
import tempfile
import unittest

from harness import SOFTWARE_PASS_TAIL, main, namespace, namespace_problem, opened, run_kalpex

RENDER, CARD = "/dev/dri/renderD128", "/dev/dri/card0"


def in_namespace(nodes, *args, **options):
    with tempfile.TemporaryDirectory() as scratch:
        env = {"NODES": " ".join(nodes), **options.pop("env", {})}
        return run_kalpex(*args, wrap=namespace(scratch), env=env, **options)


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
