// SPDX-License-Identifier: MIT
// The grammar of the lines kalpex and the monitor adapter write: each
// begins "kalpex: ", a verdict line goes on with PASS, FAIL or UNKNOWN,
// and a pass names how it rendered. String literals, so that they join
// the formats they are written with and cost kalpex nothing at run time.
#pragma once

#define LINE_PREFIX "kalpex: "
#define PASS_LINE LINE_PREFIX "PASS "
#define FAIL_LINE LINE_PREFIX "FAIL "
#define UNKNOWN_LINE LINE_PREFIX "UNKNOWN "
#define HARDWARE_WORD "HARDWARE"
#define SOFTWARE_WORD "SOFTWARE fallback"
#define NODE_LINE LINE_PREFIX "node="
#define RENDERER_LINE LINE_PREFIX "GL_RENDERER="
// The Vulkan probe's line in the renderer's place.
#define VK_DEVICE_LINE LINE_PREFIX "VK_DEVICE="
#define OPEN_STAGE "open "
