// SPDX-License-Identifier: MIT
// The GPU probe: a surfaceless OpenGL ES 2 context on a GBM device, the
// clear-and-readback test, and what answered.
#pragma once

#include <EGL/egl.h>

struct gbm_device;

// Everything bring-up acquires, in order of acquisition.
struct gpu_handles {
    gbm_device *gbm = nullptr;
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLConfig config = nullptr;
    EGLContext context = EGL_NO_CONTEXT;
};

// Stages that can fail return 0 or the status fail() yielded.
int bring_up(int node_fd, gpu_handles &handles);
void tear_down(const gpu_handles &handles);

void identify_renderer(const char *node_path);
int probe_readback();
int judge_renderer(bool require_hw);
