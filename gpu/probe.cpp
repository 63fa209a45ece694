// SPDX-License-Identifier: MIT
#include "gpu.h"

#include "../app/report.h"
#include "pixel.h"

#include <GLES2/gl2.h>


// The framebuffer and renderbuffer go with the context at teardown.
int probe_readback()
{
    GLuint framebuffer = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);

    GLuint renderbuffer = 0;
    glGenRenderbuffers(1, &renderbuffer);
    glBindRenderbuffer(GL_RENDERBUFFER, renderbuffer);
    // RGBA4 is the one colour format every OpenGL ES 2 driver must render to.
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA4, buffer_size, buffer_size);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffer);

    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE)
        return fail("FBO incomplete");

    glViewport(0, 0, buffer_size, buffer_size);
    glClearColor(1.0f, 0.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glFinish();

    // Zeroed so that a read which delivers nothing shows as a mismatch.
    unsigned char readback_pixel[4] = {0, 0, 0, 0};
    glReadPixels(buffer_size / 2, buffer_size / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, readback_pixel);

    const bool accepted = pixel_accepted(readback_pixel);
    report_readback(readback_pixel, accepted);
    if (!accepted)
        return fail("pixel readback");
    return 0;
}
