// SPDX-License-Identifier: MIT
// What every EGL probe does once it has a display: a surfaceless OpenGL ES 2
// context on it, made current.
#include "gpu.h"

#include "../app/report.h"

// clang-format off
// No surface type: the context is made current without one.
static const EGLint cfg_attrs[] = {
    EGL_SURFACE_TYPE, 0,
    EGL_RENDERABLE_TYPE, EGL_OPENGL_ES2_BIT,
    EGL_NONE,
};

static const EGLint ctx_attrs[] = {
    EGL_CONTEXT_CLIENT_VERSION, 2,
    EGL_NONE,
};
// clang-format on

// Nothing acquired is released on failure: the process end does that.
int start_context(gpu_handles &handles)
{
    EGLint major = 0;
    EGLint minor = 0;
    if (!eglInitialize(handles.display, &major, &minor))
        return fail("eglInitialize");

    if (!eglBindAPI(EGL_OPENGL_ES_API))
        return fail("eglBindAPI");

    EGLint config_count = 0;
    if (!eglChooseConfig(handles.display, cfg_attrs, &handles.config, 1, &config_count) || config_count < 1)
        return fail("eglChooseConfig");

    handles.context = eglCreateContext(handles.display, handles.config, EGL_NO_CONTEXT, ctx_attrs);
    if (handles.context == EGL_NO_CONTEXT)
        return fail("eglCreateContext");

    if (!eglMakeCurrent(handles.display, EGL_NO_SURFACE, EGL_NO_SURFACE, handles.context))
        return fail("eglMakeCurrent(surfaceless)");

    return 0;
}

void end_context(const gpu_handles &handles)
{
    eglMakeCurrent(handles.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(handles.display, handles.context);
    eglTerminate(handles.display);
}
