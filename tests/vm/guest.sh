#!/bin/sh
# The cases of one stage, run inside the test VM with the host's root as /.
# usage: guest.sh STAGE KALPEX_BINARY
# Prints "VM-PASS name" or "VM-FAIL name: what happened" for each case, and
# "VM-STAGE-DONE stage" once all have run.
stage=$1
kalpex=$2
monitor=${kalpex%/*}/kalpex-monitor
standin=${kalpex%/*}/tests/standin
render=/dev/dri/renderD128
card=/dev/dri/card0
nobody() {
    setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
}
# A copy the unprivileged user can reach wherever the build folder lies.
cp "$kalpex" /dev/shm/kalpex
# dmsetup and the like are in sbin.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
# The adapter runs this kalpex, and keeps its locks where the guest may
# write (the host's /run is read-only here).
export KALPEX="$kalpex" RUNTIME_DIRECTORY=/dev/shm/locks
mkdir -p "$RUNTIME_DIRECTORY"
# The streams whose kalpex lines a case judges; the adapter's cases judge
# its standard output alone.
streams="/dev/shm/out /dev/shm/err"

# What a pass on a renderer matching $2 writes, for node $1; the lines are
# joined with "|", standard output first.
report() {
    echo "^kalpex: node=$1\|kalpex: GL_RENDERER=$2[^|]*\|kalpex: GL_VERSION=[^|]+\|kalpex: readback ff00ffff -> OK\|"
}
software_pass() {
    echo "$(report "$1" 'llvmpipe ')kalpex: PASS \(SOFTWARE fallback\)\|$"
}

# check NAME STATUS LINES_REGEX COMMAND...
check() {
    name=$1 want_status=$2 want_lines=$3
    shift 3
    "$@" >/dev/shm/out 2>/dev/shm/err
    status=$?
    # shellcheck disable=SC2086 # one or two paths
    lines=$(cat $streams | grep '^kalpex: ' | tr '\n' '|')
    if [ "$status" = "$want_status" ] && printf '%s' "$lines" | grep -Eq -- "$want_lines"; then
        echo "VM-PASS $stage: $name"
    else
        echo "VM-FAIL $stage: $name: status $status, lines $lines"
    fi
}

now_ms() {
    echo $(($(date +%s%N) / 1000000))
}
result() {  # NAME CONDITION DETAILS: a case judged by a test command's status
    if [ "$2" = 0 ]; then echo "VM-PASS $stage: $1"; else echo "VM-FAIL $stage: $1: $3"; fi
}

case $stage in
none)
    check "no /dev/dri" 1 "^kalpex: FAIL open $card\|$" "$kalpex"
    ;;
vgem)
    check "no arguments" 0 "$(software_pass $render)" "$kalpex"
    check "$card given" 0 "$(software_pass $card)" "$kalpex" $card
    check "--require-hw" 1 \
        "$(report $render 'llvmpipe ')kalpex: FAIL --require-hw: software renderer answered \(renderer: llvmpipe [^|]*, eglError 0x3000\)\|$" \
        "$kalpex" --require-hw
    check "non-root, $render given" 1 "^kalpex: FAIL open $render\|$" nobody /dev/shm/kalpex $render
    check "non-root, no arguments" 1 "^kalpex: FAIL open $card\|$" nobody /dev/shm/kalpex
    ;;
virtio)
    check "$render given" 0 "$(software_pass $render)" "$kalpex" $render
    check "$card given" 0 "$(software_pass $card)" "$kalpex" $card
    ;;
twogpu)
    streams=/dev/shm/out
    on() { echo "kalpex: PASS \\(SOFTWARE fallback\\) on /dev/dri/renderD$1\\|"; }
    check "no node: every GPU" 0 "^$(on 128)$(on 129)$" "$monitor"
    started=$(now_ms)
    "$monitor" $render >/dev/null 2>&1
    one=$(($(now_ms) - started))
    started=$(now_ms)
    "$monitor" >/dev/null 2>&1
    echo "VM-INFO $stage: wall time, 1 node $one ms, 2 nodes $(($(now_ms) - started)) ms"
    check "one GPU failing is named first" 1 \
        "^kalpex: FAIL eglInitialize \(renderer: \(none\), eglError 0x3000\) on /dev/dri/renderD129\|kalpex: PASS \(HARDWARE\) on $render\|$" \
        env LD_LIBRARY_PATH="$standin" STANDIN_FAIL=eglInitialize STANDIN_ONLY_ON=/dev/dri/renderD129 "$monitor"
    # The second GPU falls off the bus, and its render node goes with it.
    gpu=$(readlink -f /sys/class/drm/renderD129/device)
    [ -e "$gpu/remove" ] || gpu=${gpu%/*}
    echo 1 >"$gpu/remove"
    echo "VM-INFO $stage: removed $gpu, leaving" /dev/dri/*
    check "a GPU gone, --expect=2" 1 "^kalpex: FAIL expected 2 render nodes, found 1\|$(on 128)$" "$monitor" --expect=2
    ;;
stuck)
    # A driver stuck in the kernel: eglInitialize reads a suspended
    # device-mapper device, and sleeps uninterruptibly until it is resumed.
    if ! { dmsetup create stall --noudevsync --table '0 8 error' && dmsetup mknodes stall &&
        dmsetup suspend stall; }; then
        echo "VM-ERROR $stage: cannot make a suspended device-mapper device"
        echo "VM-STAGE-DONE $stage"
        exit
    fi
    set -- env LD_LIBRARY_PATH="$standin" STANDIN_STALL=eglInitialize STANDIN_STALL_PATH=/dev/mapper/stall \
        "$monitor" --timeout=2 /dev/null
    # Read as the detector reads it: to the end of both streams.
    started=$(now_ms)
    all=$("$@" 2>&1)
    status=$? took=$(($(now_ms) - started))
    first=${all%%
*}
    pid=$(echo "$first" | sed -n 's/.*(process \([0-9]*\) could not be ended)$/\1/p')
    echo "VM-INFO $stage: first run: status $status after $took ms: $first"
    echo "VM-INFO $stage: its kalpex: $(grep '^State:' "/proc/$pid/status" 2>&1)"
    [ "$status" = 1 ] && [ -n "$pid" ] && [ "$first" = "kalpex: FAIL no result within 2 s (process $pid could not be ended)" ] &&
        [ "$took" -lt 12000 ]
    result "the bound holds: FAIL, status 1, both streams ended" $? "status $status after $took ms: $first"
    grep -q '^State:.D' "/proc/$pid/status"
    result "kalpex is in uninterruptible sleep" $? "$(grep '^State:' "/proc/$pid/status" 2>&1)"

    before=$(pgrep -c -x kalpex)
    started=$(now_ms)
    all=$("$@" 2>&1)
    status=$? took=$(($(now_ms) - started))
    echo "VM-INFO $stage: second run: status $status after $took ms: ${all%%
*}"
    [ "$status" = 1 ] && [ "$(pgrep -c -x kalpex)" = "$before" ] &&
        echo "$all" | head -n 1 | grep -Eq "^kalpex: FAIL check stuck since [0-9T:-]+Z \(process $pid\)$"
    result "a second run fails at once and starts nothing" $? "status $status after $took ms, ${all%%
*}"

    dmsetup resume stall
    for _ in 1 2 3 4 5 6 7 8 9 10; do [ -d "/proc/$pid" ] || break; sleep 1; done
    streams=/dev/shm/out
    check "resumed, the next run passes" 0 "^kalpex: PASS \(HARDWARE\)\|" "$@"
    dmsetup remove stall
    ;;
bochs)
    check "no arguments, only $card" 0 "$(software_pass $card)" "$kalpex"
    ;;
virgl)
    check "no arguments" 0 "$(report $render 'virgl ')kalpex: PASS \(HARDWARE\)\|$" "$kalpex"
    check "--require-hw" 0 "$(report $render 'virgl ')kalpex: PASS \(HARDWARE\)\|$" "$kalpex" --require-hw
    ;;
esac
echo "VM-STAGE-DONE $stage"
