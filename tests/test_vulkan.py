# SPDX-License-Identifier: MIT
"""kalpex-vulkan on the real Vulkan loader: lavapipe for the software
path, no driver at all, and a stand-in driver (tests/standin/vulkan_icd.cpp,
through VK_DRIVER_FILES) for every failure line and the hardware path."""
import os
import platform
import unittest

from harness import STANDIN_DIR, main, run_kalpex

PROGRAM = os.environ["KALPEX_VULKAN_BIN"]
# lavapipe's manifest: Mesa 22 names one per architecture (the program's,
# not the machine's where a cross build runs under an emulator); Mesa 25
# one for all, whose library the loader finds in its own architecture's
# folder.
ARCHITECTURE = "aarch64" if "aarch64" in os.environ.get("KALPEX_EMULATOR", "") else platform.machine()
LAVAPIPE = next((path for path in (f"/usr/share/vulkan/icd.d/lvp_icd.{ARCHITECTURE}.json",
                                   "/usr/share/vulkan/icd.d/lvp_icd.json") if os.path.exists(path)),
                "lavapipe's manifest in /usr/share/vulkan/icd.d")
STANDIN_ICD = os.path.join(STANDIN_DIR, "standin_icd.json")
STANDIN_LINES = ["kalpex: VK_DEVICE=Stand-in Vulkan GPU", "kalpex: VK_DEVICE_TYPE=discrete GPU",
                 "kalpex: VK_DRIVER=standin (tests/standin)", "kalpex: VK_API_VERSION=1.3.0"]
OK = "kalpex: readback ff00ffff -> OK"
HARDWARE = "kalpex: PASS (HARDWARE)"

# (case, steering of the stand-in, arguments, status, standard output,
# standard error)
STANDIN_CASES = [
    ("a GPU passes in hardware", {}, [], 0, [*STANDIN_LINES, OK, HARDWARE], []),
    ("chosen by its render node's device number", {"DRM": "1:3"}, ["/dev/null"], 0,
     [*STANDIN_LINES, OK, HARDWARE], []),
    ("chosen by its slot", {"PCI": "0000:3b:00.0"}, ["0000:3b:00.0"], 0,
     [*STANDIN_LINES, "kalpex: pci=0000:3b:00.0", OK, HARDWARE], []),
    ("a node no device has, and no CPU device to stand in", {"DRM": "1:5"}, ["/dev/null"], 1, [],
     ["kalpex: FAIL vkEnumeratePhysicalDevices (no Vulkan device for the GPU asked for)"]),
    ("a CPU device under --require-hw", {"TYPE": "cpu"}, ["--require-hw"], 1,
     [STANDIN_LINES[0], "kalpex: VK_DEVICE_TYPE=CPU", *STANDIN_LINES[2:], OK],
     ["kalpex: FAIL --require-hw: software renderer answered (device: Stand-in Vulkan GPU)"]),
    ("a pixel that is not magenta", {"PIXEL": "00ff00ff"}, [], 1,
     [*STANDIN_LINES, "kalpex: readback 00ff00ff -> MISMATCH"],
     ["kalpex: FAIL pixel readback (device: Stand-in Vulkan GPU)"]),
    ("no device", {"DEVICES": "0"}, [], 1, [],
     ["kalpex: FAIL no Vulkan device (vkEnumeratePhysicalDevices: VK_ERROR_INITIALIZATION_FAILED)"]),
    ("no queue that draws", {"NO_GRAPHICS": "1"}, [], 1, STANDIN_LINES,
     ["kalpex: FAIL no graphics queue (device: Stand-in Vulkan GPU)"]),
    ("a lost device, by its result's name", {"FAIL": "vkCreateDevice", "RESULT": "-4"}, [], 1, STANDIN_LINES,
     ["kalpex: FAIL vkCreateDevice (VK_ERROR_DEVICE_LOST)"]),
]
# Every other call that can fail: its line names it and its result.
FAILING_CALLS = ["vkCreateImage", "vkAllocateMemory", "vkBindImageMemory", "vkCreateImageView", "vkCreateRenderPass",
                 "vkCreateFramebuffer", "vkCreateBuffer", "vkBindBufferMemory", "vkCreateCommandPool",
                 "vkAllocateCommandBuffers", "vkBeginCommandBuffer", "vkEndCommandBuffer", "vkCreateFence",
                 "vkQueueSubmit", "vkWaitForFences", "vkMapMemory"]


def run_vulkan(*args, **env):
    return run_kalpex(*args, program=PROGRAM, env=env)


class RealLoader(unittest.TestCase):
    def test_lavapipe_is_the_software_fallback(self):
        self.assertTrue(os.path.exists(LAVAPIPE), f"no {LAVAPIPE}: make test installs mesa-vulkan-drivers")
        run = run_vulkan(VK_DRIVER_FILES=LAVAPIPE)
        self.assertEqual((run.status, run.err), (0, []))
        self.assertIn("llvmpipe", run.out[0])
        self.assertEqual(run.out[1:2] + run.out[-2:], ["kalpex: VK_DEVICE_TYPE=CPU", OK,
                                                       "kalpex: PASS (SOFTWARE fallback)"])
        run = run_vulkan("--require-hw", VK_DRIVER_FILES=LAVAPIPE)
        self.assertEqual(run.status, 1)
        self.assertRegex(run.err[0], r"^kalpex: FAIL --require-hw: software renderer answered \(device: llvmpipe")

    def test_no_driver(self):
        # The ICD file not mounted into the container: no driver at all.
        run = run_vulkan(VK_DRIVER_FILES="/nonexistent/icd.json")
        self.assertEqual((run.status, run.out, run.err),
                         (1, [], ["kalpex: FAIL vkCreateInstance (VK_ERROR_INCOMPATIBLE_DRIVER)"]))

    def test_a_node_that_is_not_there(self):
        run = run_vulkan("/nonexistent/renderD128", VK_DRIVER_FILES=STANDIN_ICD)
        self.assertEqual((run.status, run.out, run.err), (1, [], ["kalpex: FAIL open /nonexistent/renderD128"]))


class StandIn(unittest.TestCase):
    def test_each_case(self):
        for case, steering, args, status, out, err in STANDIN_CASES:
            with self.subTest(case=case):
                run = run_vulkan(*args, VK_DRIVER_FILES=STANDIN_ICD,
                                 **{f"STANDIN_VK_{k}": v for k, v in steering.items()})
                self.assertEqual((run.status, run.out, run.err), (status, out, err))

    def test_each_failing_call(self):
        for call in FAILING_CALLS:
            with self.subTest(call=call):
                run = run_vulkan(VK_DRIVER_FILES=STANDIN_ICD, STANDIN_VK_FAIL=call)
                self.assertEqual((run.status, run.err), (1, [f"kalpex: FAIL {call} (VK_ERROR_INITIALIZATION_FAILED)"]))


if __name__ == "__main__":
    main()
