#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Wall time and peak memory of kalpex on the real Mesa stack (node /dev/null,
# software rasteriser) next to `eglinfo -B` in the same run; kalpex-egl-device
# on Mesa's software device; kalpex-vulkan on lavapipe next to a bare C
# sequence of the same Vulkan calls (tools/bench-vulkan.c) and to
# `vulkaninfo --summary`, in the same run; and kalpex's own
# cost on the stand-in driver stack next to an empty process, and what the
# monitor adapter adds to a run, next to what a bare parent process adds.
# usage: tools/bench.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
kalpex=$build/kalpex
standin=$build/tests/standin
runs=${RUNS:-30}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Peak resident set in KiB: the largest of five runs.
peak_kib() {
  local peak=0 kib
  for _ in 1 2 3 4 5; do
    /usr/bin/time -q -o "$scratch/rss" -f '%M' "$@" >/dev/null 2>&1 || true
    kib=$(tail -n1 "$scratch/rss")
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$peak"
}

# Mean wall time in milliseconds, from hyperfine's JSON export.
mean_ms() {
  hyperfine --shell=none --style=none --warmup 3 --runs "$runs" -i --export-json "$scratch/t.json" "$1" >/dev/null 2>&1
  python3 -c 'import json,sys; print("%.2f" % (json.load(open(sys.argv[1]))["results"][0]["mean"] * 1000))' "$scratch/t.json"
}

# name, then the command as words (hyperfine gets them joined); the mean
# is kept in last_ms.
last_ms=0
row() {
  local name=$1; shift
  last_ms=$(mean_ms "$*")
  printf '%-34s %10s ms %10s KiB\n' "$name" "$last_ms" "$(peak_kib "$@")"
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); Mesa $(dpkg-query -W -f='${Version}' libgbm1)"
printf '%-34s %13s %14s\n' "command" "mean wall" "peak RSS"
row "kalpex /dev/null (llvmpipe)" "$kalpex" /dev/null
row "eglinfo -B (same Mesa)" eglinfo -B
row "kalpex-egl-device (software device)" "$build/kalpex-egl-device"
# Vulkan on lavapipe alone, whatever other drivers are installed.
lavapipe=$(ls /usr/share/vulkan/icd.d/lvp_icd*.json | head -n 1)
export VK_DRIVER_FILES=$lavapipe
cc -O2 -std=c11 -o "$scratch/bench-vulkan" "$(dirname "$0")/bench-vulkan.c" -lvulkan
row "kalpex-vulkan (lavapipe)" "$build/kalpex-vulkan"
probe_ms=$last_ms
row "bare C, the same Vulkan calls" "$scratch/bench-vulkan"
bare_vulkan_ms=$last_ms
row "vulkaninfo --summary (same loader)" vulkaninfo --summary
vulkaninfo_ms=$last_ms
unset VK_DRIVER_FILES
python3 - "$probe_ms" "$bare_vulkan_ms" "$vulkaninfo_ms" <<'END'
import sys
probe, bare, info = map(float, sys.argv[1:])
over = (probe - bare) / bare * 100
print(f"kalpex-vulkan against the bare sequence: {over:+.1f} % ({'within' if over <= 5 else 'OVER'} the 5 % aim); "
      f"against vulkaninfo --summary: {probe - info:+.2f} ms ({'faster' if probe < info else 'NOT faster'})")
END
# The adapter runs this kalpex, on GBM's path alone, so that its own cost
# is read against one kalpex run; set here rather than through env(1),
# whose own start would be counted against the adapter.
export KALPEX=$kalpex KALPEX_APIS=gbm
row "kalpex-monitor, same node, metrics" "$build/kalpex-monitor" --textfile="$scratch/k.prom" /dev/null
export LD_LIBRARY_PATH=$standin
row "kalpex on the stand-in stack" "$kalpex" /dev/null
bare_ms=$last_ms
row "kalpex-monitor on the stand-in stack" "$build/kalpex-monitor" /dev/null
row "the same, writing metrics" "$build/kalpex-monitor" --textfile="$scratch/k.prom" /dev/null
adapter_ms=$last_ms
# The least any parent that runs kalpex as a child costs: fork, exec and
# wait, and nothing else. The adapter's own cost is to be read against it.
row "kalpex under timeout(1), a bare parent" timeout 60 "$kalpex" /dev/null
unset LD_LIBRARY_PATH
row "empty process (/bin/true)" /bin/true
# What the adapter adds to a kalpex run, metrics included: at most 3 ms.
python3 - "$adapter_ms" "$bare_ms" <<'END'
import sys
cost = float(sys.argv[1]) - float(sys.argv[2])
print(f"the adapter's own cost, with metrics: {cost:.2f} ms ({'within' if cost <= 3 else 'OVER'} the 3 ms bar)")
sys.exit(cost > 3)
END
