// SPDX-License-Identifier: MIT
// The EGL probes: a surfaceless OpenGL ES 2 context on a display (kalpex's
// on a GBM device, kalpex-egl-device's on an EGL device), the
// clear-and-readback test, and what answered.
#pragma once

#include <EGL/egl.h>

struct gbm_device;

// Everything bring-up acquires, in order of acquisition.
struct gpu_handles {
    gbm_device *gbm = nullptr; // kalpex's alone
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLConfig config = nullptr;
    EGLContext context = EGL_NO_CONTEXT;
};

// Stages that can fail return 0 or the status fail() yielded.
int bring_up(int node_fd, gpu_handles &handles);
void tear_down(const gpu_handles &handles);
// The context on a display already got, and its end.
int start_context(gpu_handles &handles);
void end_context(const gpu_handles &handles);

// The EGL device DEVICE names (a DRM node, or its index in EGL's list; none:
// the first that is no software device), and its display. Sets node_path to
// the device's DRM node where it has one, and software where the device is
// Mesa's software device.
struct egl_device_facts {
    const char *node_path = nullptr;
    bool software = false;
};
int open_device_display(const char *device, gpu_handles &handles, egl_device_facts &facts);

// node_path: none where the display has no DRM node to name.
void identify_renderer(const char *node_path);
int probe_readback();
// software_device: the display said it is a software device, whatever its
// renderer is called.
int judge_renderer(bool require_hw, bool software_device = false);
