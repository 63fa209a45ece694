# SPDX-License-Identifier: MIT
"""valgrind memcheck on the pass path of the real Mesa stack: no invalid
memory access whose nearest frame outside the C library is kalpex's own.
(The driver stack and the dynamic loader have findings of their own.)"""
import os
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from harness import EMULATOR, KALPEX, main

PASSED_THROUGH = ("vgpreload_", "libc.so")


def own_frame(error):
    """The nearest frame of an error that is not the C library's or valgrind's."""
    for frame in error.iter("frame"):
        obj = frame.findtext("obj", "")
        if not os.path.basename(obj).startswith(PASSED_THROUGH):
            return obj, frame.findtext("fn", "?")
    return "", "?"


class Memcheck(unittest.TestCase):
    def test_pass_path_has_no_invalid_access_in_kalpex(self):
        if EMULATOR:
            self.skipTest("valgrind cannot run a binary that needs an emulator")
        with tempfile.TemporaryDirectory() as scratch:
            report = os.path.join(scratch, "memcheck.xml")
            done = subprocess.run(["valgrind", "--xml=yes", f"--xml-file={report}", KALPEX, "/dev/null"],
                                  capture_output=True, timeout=240)
            errors = ElementTree.parse(report).getroot().findall("error")
        self.assertIn(b"kalpex: PASS (SOFTWARE fallback)", done.stdout)
        own = [(error.findtext("kind"), own_frame(error)[1]) for error in errors
               if own_frame(error)[0] == KALPEX and not error.findtext("kind").startswith("Leak_")]
        self.assertEqual(own, [])


if __name__ == "__main__":
    main()
