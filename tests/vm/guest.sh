#!/bin/sh
# The cases of one stage, run inside the test VM with the host's root as /.
# usage: guest.sh STAGE KALPEX_BINARY
# Prints "VM-PASS name" or "VM-FAIL name: what happened" for each case, and
# "VM-STAGE-DONE stage" once all have run.
stage=$1
kalpex=$2
render=/dev/dri/renderD128
card=/dev/dri/card0
nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
# A copy the unprivileged user can reach wherever the build folder lies.
cp "$kalpex" /dev/shm/kalpex

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
    lines=$(cat /dev/shm/out /dev/shm/err | grep '^kalpex: ' | tr '\n' '|')
    if [ "$status" = "$want_status" ] && printf '%s' "$lines" | grep -Eq -- "$want_lines"; then
        echo "VM-PASS $stage: $name"
    else
        echo "VM-FAIL $stage: $name: status $status, lines $lines"
    fi
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
    check "non-root, $render given" 1 "^kalpex: FAIL open $render\|$" $nobody /dev/shm/kalpex $render
    check "non-root, no arguments" 1 "^kalpex: FAIL open $card\|$" $nobody /dev/shm/kalpex
    ;;
virtio)
    check "$render given" 0 "$(software_pass $render)" "$kalpex" $render
    check "$card given" 0 "$(software_pass $card)" "$kalpex" $card
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
