// SPDX-License-Identifier: MIT
#include "gpu.h"

#include "../app/lines.h"
#include "../app/report.h"

#include <GLES2/gl2.h>
#include <cstring>

// Renderer names that Mesa gives its CPU rasterisers.
static const char *const software_markers[] = {"llvmpipe", "softpipe", "swrast"};

static const char *gl_text(GLenum name)
{
    const GLubyte *text = glGetString(name);
    return text ? reinterpret_cast<const char *>(text) : "(null)";
}

void identify_renderer(const char *node_path)
{
    renderer = gl_text(GL_RENDERER);
    if (node_path)
        report_node(node_path);
    report_renderer(renderer);
    report_version(gl_text(GL_VERSION));
}

int judge_renderer(bool require_hw, bool software_device)
{
    bool software = software_device;
    for (const char *marker : software_markers) {
        if (std::strstr(renderer, marker)) {
            software = true;
            break;
        }
    }
    if (software && require_hw)
        return fail("--require-hw: software renderer answered");
    report_pass(software ? SOFTWARE_WORD : HARDWARE_WORD);
    return 0;
}
