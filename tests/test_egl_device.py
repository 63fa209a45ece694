# SPDX-License-Identifier: MIT
"""kalpex-egl-device on Mesa's EGL (its software device, the one it lists
here) and on the stand-in EGL (tests/standin: a software device and a GPU
whose DRM files the test sets), for the choice of device, the hardware pass
and each failure line."""
import os
import unittest

from harness import calls, main, run_kalpex
from test_vulkan import HARDWARE, OK

PROGRAM = os.environ["KALPEX_EGL_DEVICE_BIN"]
SOFTWARE = "kalpex: PASS (SOFTWARE fallback)"
GPU = ["kalpex: GL_RENDERER=Stand-in GPU", "kalpex: GL_VERSION=OpenGL ES 2.0 stand-in", OK]


def failure_line(stage, renderer="(none)"):
    return f"kalpex: FAIL {stage} (renderer: {renderer}, eglError 0x3000)"


# (case, steering of the stand-in, arguments, status, standard output,
# standard error)
STANDIN_CASES = [
    ("the GPU before the software device", {}, [], 0,
     ["kalpex: EGL_DEVICE=1 of 2", "kalpex: EGL_DEVICE_EXTENSIONS=", *GPU, HARDWARE], []),
    ("chosen by its render node", {"RENDER_FILE": "/dev/null"}, ["/dev/null"], 0,
     ["kalpex: EGL_DEVICE=1 of 2", "kalpex: EGL_DEVICE_EXTENSIONS=EGL_EXT_device_drm_render_node",
      "kalpex: node=/dev/null", *GPU, HARDWARE], []),
    ("chosen by its primary node", {"DRM_FILE": "/dev/null"}, ["/dev/null"], 0,
     ["kalpex: EGL_DEVICE=1 of 2", "kalpex: EGL_DEVICE_EXTENSIONS=EGL_EXT_device_drm",
      "kalpex: node=/dev/null", *GPU, HARDWARE], []),
    ("a node no device has: the software device answers", {"DRM_FILE": "/dev/zero"}, ["/dev/null"], 0,
     ["kalpex: EGL_DEVICE=0 of 2", "kalpex: EGL_DEVICE_EXTENSIONS=EGL_MESA_device_software", *GPU, SOFTWARE], []),
    ("a node no device has, and no software device", {"DRM_FILE": "/dev/zero", "DEVICES": "gpu"}, ["/dev/null"], 1,
     [], [failure_line("no EGL device for /dev/null")]),
    ("the software device alone", {"DEVICES": "1"}, [], 0,
     ["kalpex: EGL_DEVICE=0 of 1", "kalpex: EGL_DEVICE_EXTENSIONS=EGL_MESA_device_software", *GPU, SOFTWARE], []),
    ("the software device by its index, under --require-hw", {}, ["--require-hw", "0"], 1,
     ["kalpex: EGL_DEVICE=0 of 2", "kalpex: EGL_DEVICE_EXTENSIONS=EGL_MESA_device_software", *GPU],
     [failure_line("--require-hw: software renderer answered", "Stand-in GPU")]),
    ("an index past the list", {"DEVICES": "gpu"}, ["1"], 1, [], [failure_line("no EGL device for 1")]),
    ("no device", {"DEVICES": "0"}, [], 1, [], [failure_line("no EGL device")]),
    ("no device enumeration", {"CLIENT_EXTENSIONS": "EGL_EXT_platform_device"}, [], 1, [],
     [failure_line("EGL_EXT_device_enumeration missing")]),
    ("no device platform", {"CLIENT_EXTENSIONS": "EGL_EXT_device_base EGL_EXT_platform_devices"}, [], 1, [],
     [failure_line("EGL_EXT_platform_device missing")]),
    ("no entry points", {"FAIL": "eglGetProcAddress"}, [], 1, [], [failure_line("eglQueryDevicesEXT missing")]),
    ("the list fails", {"FAIL": "eglQueryDevicesEXT"}, [], 1, [], [failure_line("eglQueryDevicesEXT")]),
    ("no display for the device", {"FAIL": "eglGetPlatformDisplayEXT"}, [], 1,
     ["kalpex: EGL_DEVICE=1 of 2", "kalpex: EGL_DEVICE_EXTENSIONS="], [failure_line("eglGetPlatformDisplay(DEVICE)")]),
    ("the bring-up kalpex shares", {"FAIL": "eglMakeCurrent"}, [], 1,
     ["kalpex: EGL_DEVICE=1 of 2", "kalpex: EGL_DEVICE_EXTENSIONS="], [failure_line("eglMakeCurrent(surfaceless)")]),
]


def run_egl_device(*args, standin=False, **steering):
    return run_kalpex(*args, program=PROGRAM, standin=standin,
                      env={f"STANDIN_{k}": v for k, v in steering.items()})


class MesaEGL(unittest.TestCase):
    def test_software_device(self):
        run = run_egl_device()
        self.assertEqual((run.status, run.err), (0, []))
        self.assertEqual(run.out[0], "kalpex: EGL_DEVICE=0 of 1")
        self.assertIn("EGL_MESA_device_software", run.out[1])
        self.assertEqual(run.out[-2:], [OK, SOFTWARE])
        run = run_egl_device("--require-hw")
        self.assertEqual(run.status, 1)
        self.assertRegex(run.err[0], r"^kalpex: FAIL --require-hw: software renderer answered \(renderer: llvmpipe")

    def test_devices_that_are_not_there(self):
        # A GPU Mesa does not list: its software device answers in its place.
        for device in ("1", "/dev/null"):
            with self.subTest(device=device):
                run = run_egl_device(device)
                self.assertEqual((run.status, run.out[0], run.out[-1], run.err),
                                 (0, "kalpex: EGL_DEVICE=0 of 1", SOFTWARE, []))
        run = run_egl_device("/nonexistent/renderD128")
        self.assertEqual((run.status, run.out, run.err), (1, [], ["kalpex: FAIL open /nonexistent/renderD128"]))


class StandIn(unittest.TestCase):
    def test_each_case(self):
        for case, steering, args, status, out, err in STANDIN_CASES:
            with self.subTest(case=case):
                run = run_egl_device(*args, standin=True, **steering)
                self.assertEqual((run.status, run.out, run.err), (status, out, err))
                # No release call after a failure; on a pass, kalpex's, without GBM's.
                released = [call for call in run.trace if call.startswith(("eglDestroyContext", "eglTerminate"))]
                self.assertEqual(released, [] if status else ["eglDestroyContext display context",
                                                              "eglTerminate display"])
                self.assertFalse(calls(run, "gbm_"), run.trace)


if __name__ == "__main__":
    main()
