// SPDX-License-Identifier: MIT
#include "report.h"

#include "lines.h"

#include <EGL/egl.h>
#include <cstdio>

const char *renderer = "(none)";

// Every line is written here, one function per line. Write results are
// ignored: the exit status is the answer, not the text.

int fail(const char *stage)
{
    // Read before writing anything, so the code is the one the stage left.
    const EGLint egl_error = eglGetError();
    (void)std::fprintf(stderr, FAIL_LINE "%s (renderer: %s, eglError 0x%x)\n", stage, renderer,
                       static_cast<unsigned>(egl_error));
    return 1;
}

void report_node(const char *node_path)
{
    (void)std::fprintf(stdout, NODE_LINE "%s\n", node_path);
}

void report_renderer(const char *renderer_tag)
{
    (void)std::fprintf(stdout, RENDERER_LINE "%s\n", renderer_tag);
}

void report_version(const char *version)
{
    (void)std::fprintf(stdout, LINE_PREFIX "GL_VERSION=%s\n", version);
}

void report_readback(const unsigned char pixel[4], bool accepted)
{
    (void)std::fprintf(stdout, LINE_PREFIX "readback %02x%02x%02x%02x -> %s\n", pixel[0], pixel[1], pixel[2],
                       pixel[3], accepted ? "OK" : "MISMATCH");
}

void report_pass(const char *verdict_word)
{
    (void)std::fprintf(stdout, PASS_LINE "(%s)\n", verdict_word);
}

void report_open_failure(const char *path)
{
    (void)std::fprintf(stderr, FAIL_LINE OPEN_STAGE "%s\n", path);
}
