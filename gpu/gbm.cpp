// SPDX-License-Identifier: MIT
// kalpex's display: EGL on a GBM device made from the node.
#include "gpu.h"

#include "../app/report.h"

#include <EGL/eglext.h>
#include <gbm.h>

// Nothing acquired is released on failure: the process end does that.
int bring_up(int node_fd, gpu_handles &handles)
{
    handles.gbm = gbm_create_device(node_fd);
    if (!handles.gbm)
        return fail("gbm_create_device");

    // Looked up by name so that an EGL without the extension fails here
    // rather than at load time.
    const auto get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!get_platform_display)
        return fail("eglGetPlatformDisplayEXT missing");

    handles.display = get_platform_display(EGL_PLATFORM_GBM_KHR, handles.gbm, nullptr);
    if (handles.display == EGL_NO_DISPLAY)
        return fail("eglGetPlatformDisplay(GBM)");

    return start_context(handles);
}

void tear_down(const gpu_handles &handles)
{
    end_context(handles);
    gbm_device_destroy(handles.gbm);
}
