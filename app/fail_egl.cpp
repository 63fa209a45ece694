// SPDX-License-Identifier: MIT
// The GBM path's failure line: it names EGL's error, so it is the one line
// that needs libEGL.
#include "report.h"

#include "lines.h"

#include <EGL/egl.h>
#include <cstdio>

int fail(const char *stage)
{
    // Read before writing anything, so the code is the one the stage left.
    const EGLint egl_error = eglGetError();
    (void)std::fprintf(stderr, FAIL_LINE "%s (renderer: %s, eglError 0x%x)\n", stage, renderer,
                       static_cast<unsigned>(egl_error));
    return 1;
}
