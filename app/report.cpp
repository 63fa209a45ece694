// SPDX-License-Identifier: MIT
#include "report.h"

#include "lines.h"

#include <cstdio>

const char *renderer = "(none)";

// Every line is written here, one function per line, but the GBM path's
// failure line, which reads EGL's error (fail_egl.cpp). Write results are
// ignored: the exit status is the answer, not the text.

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

void report_vulkan_device(const char *name, const char *type, const char *driver, const char *api_version,
                          const char *slot)
{
    (void)std::fprintf(stdout, VK_DEVICE_LINE "%s\n", name);
    (void)std::fprintf(stdout, LINE_PREFIX "VK_DEVICE_TYPE=%s\n", type);
    (void)std::fprintf(stdout, LINE_PREFIX "VK_DRIVER=%s\n", driver);
    (void)std::fprintf(stdout, LINE_PREFIX "VK_API_VERSION=%s\n", api_version);
    if (slot)
        (void)std::fprintf(stdout, LINE_PREFIX "pci=%s\n", slot);
}

int fail_call(const char *call, const char *result)
{
    (void)std::fprintf(stderr, FAIL_LINE "%s (%s)\n", call, result);
    return 1;
}

int fail_vulkan(const char *stage)
{
    (void)std::fprintf(stderr, FAIL_LINE "%s (device: %s)\n", stage, renderer);
    return 1;
}

void report_egl_device(int index, int count, const char *extensions)
{
    (void)std::fprintf(stdout, LINE_PREFIX "EGL_DEVICE=%d of %d\n", index, count);
    (void)std::fprintf(stdout, LINE_PREFIX "EGL_DEVICE_EXTENSIONS=%s\n", extensions);
}
