// SPDX-License-Identifier: MIT
// kalpex-vulkan: does headless rendering work through Vulkan, as a
// workload's would, on this GPU? One pass from the command line to the exit
// status: 0 pass, 1 fail.
//
// usage: kalpex-vulkan [--require-hw] [DEVICE]
//   DEVICE  a DRM node (/dev/dri/renderD128) or a PCI slot (0000:3b:00.0);
//           with none, the first device that is not a CPU implementation

#include "../gpu/vulkan.h"
#include "command_line.h"
#include "report.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// The hexadecimal digits at text[at, at + count) as a number, or false.
static bool hex_field(const char *text, size_t at, size_t count, unsigned &value)
{
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        const char digit = text[i];
        const int nibble = digit >= '0' && digit <= '9'   ? digit - '0'
                           : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                           : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                          : -1;
        if (nibble < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(nibble);
    }
    return true;
}

// A PCI slot as sysfs and lspci -D write it: 0000:3b:00.0.
static bool read_slot(const char *text, device_choice &choice)
{
    return std::strlen(text) == 12 && text[4] == ':' && text[7] == ':' && text[10] == '.' &&
           hex_field(text, 0, 4, choice.domain) && hex_field(text, 5, 2, choice.bus) &&
           hex_field(text, 8, 2, choice.device) && hex_field(text, 11, 1, choice.function);
}

// DEVICE as the device to choose: a slot, or a node, whose device number
// Vulkan's DRM properties give, and whose slot sysfs knows.
static int choose(const run_options &options, device_choice &choice)
{
    if (!options.node_path)
        return 0;
    if (read_slot(options.node_path, choice)) {
        choice.by_slot = true;
        return 0;
    }
    struct stat status {
    };
    if (stat(options.node_path, &status) != 0 || !S_ISCHR(status.st_mode)) {
        report_open_failure(options.node_path);
        return 1;
    }
    choice.by_node = true;
    choice.node_major = major(status.st_rdev);
    choice.node_minor = minor(status.st_rdev);
    char link[64], device[PATH_MAX];
    (void)std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/device", choice.node_major, choice.node_minor);
    if (realpath(link, device)) {
        const char *name = std::strrchr(device, '/');
        choice.node_slot_known = name && read_slot(name + 1, choice);
    }
    return 0;
}

// A failed stage ends the run at once; the process end releases what it
// made.
int main(int argc, char **argv)
{
    if (int status = prepare_streams())
        return status;

    const run_options options = scan_command_line(argc, argv);
    device_choice choice;
    if (int status = choose(options, choice))
        return status;

    vulkan_handles handles;
    if (int status = create_instance(handles))
        return status;
    if (int status = choose_device(choice, handles))
        return status;
    identify_device(handles);
    if (int status = create_device(handles))
        return status;
    if (int status = create_target(handles))
        return status;
    if (int status = clear_and_copy(handles))
        return status;
    if (int status = read_back(handles))
        return status;
    if (int status = judge_device(options.require_hw))
        return status;
    release(handles);
    return 0;
}
