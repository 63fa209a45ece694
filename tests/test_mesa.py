# SPDX-License-Identifier: MIT
"""The whole pass path on the real Mesa stack: with a node that is no DRM
device (/dev/null) Mesa's GBM falls back to its software rasteriser."""
import unittest

from harness import main, run_kalpex

REQUIRE_HW_FAILURE = "kalpex: FAIL --require-hw: software renderer answered (renderer: {}, eglError 0x3000)"


class RealMesa(unittest.TestCase):
    def assert_report(self, run, node="/dev/null", renderer="llvmpipe"):
        """The four lines every run that reaches the readback writes."""
        self.assertEqual(run.out[0], f"kalpex: node={node}")
        self.assertTrue(run.out[1].startswith("kalpex: GL_RENDERER="), run.out)
        self.assertIn(renderer, run.out[1])
        self.assertTrue(run.out[2].startswith("kalpex: GL_VERSION=") and len(run.out[2]) > 19, run.out)
        self.assertEqual(run.out[3], "kalpex: readback ff00ffff -> OK")

    def assert_software_pass(self, run, **report):
        self.assert_report(run, **report)
        self.assertEqual(run.out[4:], ["kalpex: PASS (SOFTWARE fallback)"])
        self.assertEqual(run.err, [])
        self.assertEqual(run.status, 0)

    def assert_require_hw_failure(self, run):
        self.assert_report(run)
        self.assertEqual(len(run.out), 4)
        renderer = run.out[1].removeprefix("kalpex: GL_RENDERER=")
        self.assertEqual(run.err, [REQUIRE_HW_FAILURE.format(renderer)])
        self.assertEqual(run.status, 1)

    def test_software_pass(self):
        self.assert_software_pass(run_kalpex("/dev/null"))

    def test_softpipe_answers_when_asked_for(self):
        self.assert_software_pass(run_kalpex("/dev/null", env={"GALLIUM_DRIVER": "softpipe"}),
                                  renderer="softpipe")

    def test_require_hw_refuses_software(self):
        for args in (["--require-hw", "/dev/null"], ["/dev/null", "--require-hw"],
                     ["--require-hw", "/dev/null", "--require-hw"]):
            with self.subTest(args=args):
                self.assert_require_hw_failure(run_kalpex(*args))

    def test_last_path_wins(self):
        self.assert_software_pass(run_kalpex("/nonexistent", "/dev/null"))

    def test_paths_that_cannot_open(self):
        # Anything but the exact flag is a path; the last one is the only one opened.
        for args, path in ((["/nonexistent"], "/nonexistent"),
                           (["/dev/null", "/nonexistent"], "/nonexistent"),
                           (["/dev/null", "--REQUIRE-HW"], "--REQUIRE-HW"),
                           (["/dev/null", "--require-hw=1"], "--require-hw=1"),
                           (["/dev/null", "-x"], "-x"),
                           (["/dev/null", ""], "")):
            with self.subTest(args=args):
                run = run_kalpex(*args)
                self.assertEqual((run.status, run.stdout, run.err), (1, b"", [f"kalpex: FAIL open {path}"]))


if __name__ == "__main__":
    main()
