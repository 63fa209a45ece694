#!/bin/sh
# SPDX-License-Identifier: MIT
# Every path and the adapter on a machine with a real GPU, in one run of
# under 5 minutes; the report goes to a folder. Never needed for CI.
#   tests/device/run.sh REPORT_FOLDER [BUILD_FOLDER]
# BUILD_FOLDER (default build) holds kalpex, kalpex-egl-device,
# kalpex-vulkan and kalpex-monitor, built here or carried. Where the
# loaders are missing, LOADER_DEBS names a folder of Debian packages
# (libvulkan1, libegl1, libglvnd0, libgles2) that are unpacked over / first.
# On a machine whose NVIDIA driver lives under /usr/local/nvidia (no
# /dev/dri, no nvidia-drm) its Vulkan ICD and EGL vendor file are used,
# unless VK_DRIVER_FILES or __EGL_VENDOR_LIBRARY_FILENAMES say otherwise.
# Writes REPORT_FOLDER/report.txt (each command and what it printed, with
# its status and time) and REPORT_FOLDER/metrics.prom (the adapter's).
# Exit status: 0 when EGL's devices and Vulkan passed in hardware, else 1.
set -u
report_folder=${1:?usage: tests/device/run.sh REPORT_FOLDER [BUILD_FOLDER]}
build=$(cd "${2:-build}" && pwd) || exit 1
mkdir -p "$report_folder" || exit 1
report=$report_folder/report.txt
: >"$report"

say() { printf '%s\n' "$*" | tee -a "$report"; }

# step TITLE COMMAND...: the command under a bound of 60 s, its output,
# status and wall time in the report.
step() {
    title=$1
    shift
    say "== $title: $*"
    started=$(date +%s%N)
    timeout 60 "$@" >"$report_folder/step.out" 2>&1
    status=$?
    ended=$(date +%s%N)
    tee -a "$report" <"$report_folder/step.out"
    say "-- status $status, $(((ended - started) / 1000000)) ms"
    return "$status"
}

if [ -n "${LOADER_DEBS:-}" ] && ! ldconfig -p | grep -q 'libvulkan\.so\.1 '; then
    for package in "$LOADER_DEBS"/*.deb; do dpkg -x "$package" / || exit 1; done
    ldconfig
fi
nvidia=/usr/local/nvidia
if [ -z "${VK_DRIVER_FILES:-}" ] && [ -r $nvidia/share/vulkan/icd.d/nvidia_icd.json ]; then
    export VK_DRIVER_FILES=$nvidia/share/vulkan/icd.d/nvidia_icd.json
fi
if [ -z "${__EGL_VENDOR_LIBRARY_FILENAMES:-}" ] && [ -r $nvidia/share/glvnd/egl_vendor.d/10_nvidia.json ]; then
    export __EGL_VENDOR_LIBRARY_FILENAMES=$nvidia/share/glvnd/egl_vendor.d/10_nvidia.json
fi

say "kalpex device check, $(date -u +%Y-%m-%dT%H:%M:%SZ), $(uname -r)"
say "VK_DRIVER_FILES=${VK_DRIVER_FILES:-} __EGL_VENDOR_LIBRARY_FILENAMES=${__EGL_VENDOR_LIBRARY_FILENAMES:-}"
# shellcheck disable=SC2016 # expanded by the shell it starts
step "the GPUs" sh -c 'nvidia-smi -L 2>/dev/null; ls -l /dev/dri 2>&1; for d in /sys/bus/pci/devices/*; do
    case $(cat "$d/class") in 0x03*) echo "${d##*/} $(cat "$d/class") $(cat "$d/vendor"):$(cat "$d/device") $(basename "$(readlink "$d/driver")" 2>/dev/null)";; esac; done'
step "the loaders" sh -c 'ldconfig -p | grep -E "libvulkan\.so\.1|libEGL\.so\.1|libGLESv2\.so\.2|libgbm\.so\.1"'

# The first display device with a bound driver that is not a management
# controller's (ASPEED, Matrox): the GPU Vulkan is asked for by its slot.
slot=$(for d in /sys/bus/pci/devices/*; do
    case $(cat "$d/class"):$(cat "$d/vendor") in
        *:0x1a03 | *:0x102b) ;;
        0x03*) [ -e "$d/driver" ] && { echo "${d##*/}"; break; } ;;
    esac
done)

step "GBM on the default node" "$build/kalpex"
step "EGL's devices" "$build/kalpex-egl-device"
step "EGL's devices, hardware required" "$build/kalpex-egl-device" --require-hw && egl_hardware=0 || egl_hardware=1
step "Vulkan" "$build/kalpex-vulkan"
step "Vulkan, hardware required" "$build/kalpex-vulkan" --require-hw && vulkan_hardware=0 || vulkan_hardware=1
[ -z "$slot" ] || step "Vulkan by the GPU's slot, hardware required" "$build/kalpex-vulkan" --require-hw "$slot"
step "Vulkan with no driver file (must fail)" env VK_DRIVER_FILES=/nonexistent/icd.json "$build/kalpex-vulkan"
# Started by root, the adapter runs the probes as the package's user, which
# a machine without the package lacks.
id kalpex >/dev/null 2>&1 || [ "$(id -u)" != 0 ] || set -- --user=root
step "the adapter, every path" env KALPEX="$build/kalpex" "$build/kalpex-monitor" "$@" --timeout=30 \
    --textfile="$report_folder/metrics.prom" -- --require-hw
step "the adapter, EGL's devices and Vulkan" env KALPEX="$build/kalpex" KALPEX_APIS=egl-device,vulkan \
    "$build/kalpex-monitor" "$@" --timeout=30 -- --require-hw
step "the adapter, no Vulkan driver file" env KALPEX="$build/kalpex" VK_DRIVER_FILES=/nonexistent/icd.json \
    "$build/kalpex-monitor" "$@" --timeout=30 -- --require-hw
rm -f "$report_folder/step.out"

say "EGL's devices in hardware: $([ "$egl_hardware" = 0 ] && echo yes || echo no)"
say "Vulkan in hardware: $([ "$vulkan_hardware" = 0 ] && echo yes || echo no)"
[ "$egl_hardware" = 0 ] && [ "$vulkan_hardware" = 0 ]
