// SPDX-License-Identifier: MIT
// The probes' one command line: --require-hw, and the last other argument
// as what to check (kalpex's node; kalpex-vulkan's node or PCI slot).
#pragma once

struct run_options {
    const char *node_path = nullptr;
    bool require_hw = false;
};

run_options scan_command_line(int argc, char **argv);
