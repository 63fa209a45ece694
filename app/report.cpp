#include "report.h"

#include <EGL/egl.h>
#include <cstdarg>
#include <cstdio>

const char *renderer = "(none)";

// The only place that writes: a failed write changes nothing, the exit
// status is the answer.
[[gnu::format(printf, 2, 3)]] static void write_line(FILE *stream, const char *format, ...)
{
    va_list values;
    va_start(values, format);
    vfprintf(stream, format, values);
    va_end(values);
}

int fail(const char *stage)
{
    // Read before writing anything, so the code is the one the stage left.
    const EGLint egl_error = eglGetError();
    write_line(stderr, "kalpex: FAIL %s (renderer: %s, eglError 0x%x)\n", stage, renderer,
               static_cast<unsigned>(egl_error));
    return 1;
}

void report_node(const char *node_path)
{
    write_line(stdout, "kalpex: node=%s\n", node_path);
}

void report_renderer(const char *renderer_tag)
{
    write_line(stdout, "kalpex: GL_RENDERER=%s\n", renderer_tag);
}

void report_version(const char *version)
{
    write_line(stdout, "kalpex: GL_VERSION=%s\n", version);
}

void report_readback(const unsigned char pixel[4], bool accepted)
{
    write_line(stdout, "kalpex: readback %02x%02x%02x%02x -> %s\n", pixel[0], pixel[1], pixel[2],
               pixel[3], accepted ? "OK" : "MISMATCH");
}

void report_pass(const char *verdict_word)
{
    write_line(stdout, "kalpex: PASS (%s)\n", verdict_word);
}

void report_open_failure(const char *path)
{
    write_line(stderr, "kalpex: FAIL open %s\n", path);
}
