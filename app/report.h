// SPDX-License-Identifier: MIT
// Every line kalpex writes, and the failure reporter that ends a run.
#pragma once

// Renderer named in failure lines: "(none)" until identification sets it to
// the GL_RENDERER string (owned by the GL implementation) or "(null)"; for
// Vulkan, the device's name.
extern const char *renderer;

// Writes the failure line for a stage and yields the exit status 1.
int fail(const char *stage);
// Vulkan's: a call and its VkResult by name, or a stage and the device.
int fail_call(const char *call, const char *result);
int fail_vulkan(const char *stage);

void report_node(const char *node_path);
void report_renderer(const char *renderer_tag);
void report_version(const char *version);
void report_readback(const unsigned char pixel[4], bool accepted);
void report_pass(const char *verdict_word);
void report_open_failure(const char *path);
void report_egl_device(int index, int count, const char *extensions);
void report_vulkan_device(const char *name, const char *type, const char *driver, const char *api_version,
                          const char *slot);
// What every probe does first: /dev/null on a standard descriptor the
// caller left closed (else the first file opened would take it, and lines
// would be written there), and no death by SIGPIPE. Yields 0 or the
// failure's status.
int prepare_streams();
