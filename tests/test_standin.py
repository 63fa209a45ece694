# SPDX-License-Identifier: MIT
"""Every failure path and the exact call sequence, on the stand-in driver
stack: the real kalpex binary, steered through STANDIN_* variables."""
import unittest

from harness import calls, main, run_kalpex

NODE = "/dev/null"
TEARDOWN = ("eglDestroyContext", "eglTerminate", "gbm_device_destroy", "close")

PASS_SEQUENCE = [
    f"open {NODE} 0x2",
    "gbm_create_device {fd}",
    "eglGetProcAddress eglGetPlatformDisplayEXT",
    "eglGetPlatformDisplayEXT 0x31d7 device null",
    "eglInitialize display",
    "eglBindAPI 0x30a0",
    "eglChooseConfig display size=1 count=0 attribs 0x3033 0 0x3040 4 0x3038",
    "eglCreateContext display config share=none attribs 0x3098 2 0x3038",
    "eglMakeCurrent display none none context",
    "glGetString 0x1f01",
    "glGetString 0x1f02",
    "glGenFramebuffers 1",
    "glBindFramebuffer 0x8d40 7",
    "glGenRenderbuffers 1",
    "glBindRenderbuffer 0x8d41 9",
    "glRenderbufferStorage 0x8d41 0x8056 64 64",
    "glFramebufferRenderbuffer 0x8d40 0x8ce0 0x8d41 9",
    "glCheckFramebufferStatus 0x8d40",
    "glViewport 0 0 64 64",
    "glClearColor 1 0 1 1",
    "glClear 0x4000",
    "glFinish",
    "glReadPixels 32 32 1 1 0x1908 0x1401",
    "eglMakeCurrent display none none none",
    "eglDestroyContext display context",
    "eglTerminate display",
    "gbm_device_destroy device",
    "close {fd}",
]

# (what fails, stage text, EGL error the stand-in holds)
BRING_UP_FAILURES = [
    ("gbm_create_device", "gbm_create_device", "0x3000"),
    ("eglGetProcAddress", "eglGetPlatformDisplayEXT missing", "0x3001"),
    ("eglGetPlatformDisplayEXT", "eglGetPlatformDisplay(GBM)", "0x3008"),
    ("eglInitialize", "eglInitialize", "0x3001"),
    ("eglBindAPI", "eglBindAPI", "0x300c"),
    ("eglChooseConfig", "eglChooseConfig", "0x3005"),
    ("eglChooseConfig:none", "eglChooseConfig", "0x3000"),
    ("eglCreateContext", "eglCreateContext", "0x3009"),
    ("eglMakeCurrent", "eglMakeCurrent(surfaceless)", "0x3002"),
]

# (pixel the read delivers, as the line shows it, accepted)
PIXELS = [
    ("e000e0ff", "e000e0ff", True),
    ("df00ffff", "df00ffff", False),
    ("ff00dfff", "ff00dfff", False),
    ("ff1fffff", "ff1fffff", True),
    ("ff20ffff", "ff20ffff", False),
    ("ff00ff00", "ff00ff00", True),
    ("ffffffff", "ffffffff", False),
    ("none", "00000000", False),
    ("0a00ff80", "0a00ff80", False),
]

# (GL_RENDERER, holds a software marker)
RENDERERS = [
    ("llvmpipe", True),
    ("llvmpipe (LLVM 15.0.6, 256 bits)", True),
    ("Gallium softpipe", True),
    ("x-swrast-y", True),
    ("LLVMpipe", False),
    ("SoftPipe", False),
    ("SWRAST", False),
    ("virgl (LLVMPIPE (LLVM 15.0.6, 256 bits))", False),
    ("NULL", False),
]


def failure_line(stage, renderer="Stand-in GPU", egl_error="0x3000"):
    return f"kalpex: FAIL {stage} (renderer: {renderer}, eglError {egl_error})"


class StandIn(unittest.TestCase):
    def run_standin(self, *args, **steering):
        return run_kalpex(NODE, *args, standin=True, env={f"STANDIN_{k.upper()}": v for k, v in steering.items()})

    def assert_failed_in_place(self, run, line):
        """One failure line, status 1, and no release call after it."""
        self.assertEqual((run.status, run.err), (1, [line]))
        self.assertEqual(len(calls(run, "eglGetError")), 1, run.trace)
        self.assertEqual(run.trace[-1], "eglGetError")
        self.assertFalse([call for call in run.trace if call.startswith(TEARDOWN)], run.trace)

    def test_call_sequence_of_a_pass(self):
        run = self.run_standin()
        fd = calls(run, "gbm_create_device")[0].split()[1]
        self.assertEqual(run.trace, [call.format(fd=fd) for call in PASS_SEQUENCE])
        self.assertEqual(run.out, [f"kalpex: node={NODE}", "kalpex: GL_RENDERER=Stand-in GPU",
                                   "kalpex: GL_VERSION=OpenGL ES 2.0 stand-in",
                                   "kalpex: readback ff00ffff -> OK", "kalpex: PASS (HARDWARE)"])
        self.assertEqual((run.status, run.err), (0, []))

    def test_bring_up_failures(self):
        for failing, stage, egl_error in BRING_UP_FAILURES:
            with self.subTest(failing=failing):
                run = self.run_standin(fail=failing, egl_error=egl_error)
                self.assertEqual(run.stdout, b"")
                self.assert_failed_in_place(run, failure_line(stage, "(none)", egl_error))

    def test_incomplete_framebuffer(self):
        run = self.run_standin(fail="glCheckFramebufferStatus", renderer="Board 9", egl_error="0x0")
        self.assertEqual(len(run.out), 3)
        self.assert_failed_in_place(run, failure_line("FBO incomplete", "Board 9", "0x0"))

    def test_readback_bounds(self):
        for pixel, shown, accepted in PIXELS:
            with self.subTest(pixel=pixel):
                run = self.run_standin(pixel=pixel, renderer="Board 9")
                self.assertEqual(run.out[3], f"kalpex: readback {shown} -> {'OK' if accepted else 'MISMATCH'}")
                if accepted:
                    self.assertEqual((run.status, run.out[4:], run.err), (0, ["kalpex: PASS (HARDWARE)"], []))
                else:
                    self.assertEqual(len(run.out), 4)
                    self.assert_failed_in_place(run, failure_line("pixel readback", "Board 9"))

    def test_missing_gl_version(self):
        run = self.run_standin(version="NULL")
        self.assertEqual((run.status, run.out[2]), (0, "kalpex: GL_VERSION=(null)"))

    def test_software_markers(self):
        for renderer, software in RENDERERS:
            shown = "(null)" if renderer == "NULL" else renderer
            for require_hw in ([], ["--require-hw"]):
                with self.subTest(renderer=renderer, require_hw=require_hw):
                    run = self.run_standin(*require_hw, renderer=renderer)
                    self.assertEqual(run.out[1], f"kalpex: GL_RENDERER={shown}")
                    if software and require_hw:
                        self.assertEqual(len(run.out), 4)
                        self.assert_failed_in_place(
                            run, failure_line("--require-hw: software renderer answered", shown))
                    else:
                        verdict = "SOFTWARE fallback" if software else "HARDWARE"
                        self.assertEqual((run.status, run.out[4:], run.err), (0, [f"kalpex: PASS ({verdict})"], []))


if __name__ == "__main__":
    main()
