# SPDX-License-Identifier: MIT
"""The harness's own verdict: a suite in which no test ran is a skip with its
reason recorded, never a pass."""
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

from harness import SKIPPED, main

# (what the suite's test class does, exit status, skip lines recorded)
SUITES = [
    ("skips in setUpClass", SKIPPED, ["sample: setUpClass (Sample) SKIPPED, nothing here"]),
    ("skips its test", SKIPPED, ["sample: Sample.test_one SKIPPED, nothing here"]),
    ("has no test", SKIPPED, ["sample: SKIPPED, no test ran"]),
    ("passes", 0, []),
    ("fails", 1, []),
]
BODIES = {
    "skips in setUpClass": "@classmethod\ndef setUpClass(cls):\n    raise unittest.SkipTest('nothing here')\n"
                           "def test_one(self):\n    pass\n",
    "skips its test": "def test_one(self):\n    self.skipTest('nothing here')\n",
    "has no test": "pass\n",
    "passes": "def test_one(self):\n    pass\n",
    "fails": "def test_one(self):\n    self.fail()\n",
}


class Verdict(unittest.TestCase):
    def test_suites_that_ran_nothing(self):
        for behaviour, status, skips in SUITES:
            with self.subTest(behaviour=behaviour), tempfile.TemporaryDirectory() as scratch:
                suite = os.path.join(scratch, "test_sample.py")
                with open(suite, "w", encoding="utf-8") as file:
                    file.write("import unittest\nfrom harness import main\n\n\nclass Sample(unittest.TestCase):\n"
                               + textwrap.indent(BODIES[behaviour], "    ") + "\n\nmain()\n")
                record = os.path.join(scratch, "skipped.txt")
                done = subprocess.run([sys.executable, suite], capture_output=True, timeout=60,
                                      env={**os.environ, "KALPEX_SKIPS": record,
                                           "PYTHONPATH": os.path.dirname(os.path.abspath(__file__))})
                recorded = open(record, encoding="utf-8").read().splitlines() if os.path.exists(record) else []
                self.assertEqual((done.returncode, recorded), (status, skips), done.stderr)


if __name__ == "__main__":
    main()
