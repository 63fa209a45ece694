// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <cstring>

// Every argument but the exact flag is what to check; the last one wins.
run_options scan_command_line(int argc, char **argv)
{
    run_options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--require-hw") == 0)
            options.require_hw = true;
        else
            options.node_path = argv[i];
    }
    return options;
}
