// SPDX-License-Identifier: MIT
// kalpex-egl-device: does headless rendering work through EGL's device
// platform, as most headless GLES workloads on data-centre GPUs start, on
// this GPU? One pass from the command line to the exit status: 0 pass,
// 1 fail.
//
// usage: kalpex-egl-device [--require-hw] [DEVICE]
//   DEVICE  a DRM node (/dev/dri/renderD128) or the device's index in EGL's
//           list; with none, the first device that is not Mesa's software
//           device

#include "../gpu/gpu.h"
#include "command_line.h"
#include "report.h"

// A failed stage ends the run at once; the process end releases the EGL
// objects.
int main(int argc, char **argv)
{
    if (int status = prepare_streams())
        return status;

    const run_options options = scan_command_line(argc, argv);

    gpu_handles handles;
    egl_device_facts facts;
    if (int status = open_device_display(options.node_path, handles, facts))
        return status;
    if (int status = start_context(handles))
        return status;

    identify_renderer(facts.node_path);

    if (int status = probe_readback())
        return status;
    if (int status = judge_renderer(options.require_hw, facts.software))
        return status;

    end_context(handles);
    return 0;
}
