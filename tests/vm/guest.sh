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
systemd-setup)
    # In the overlay, before systemd starts: the package's files, the
    # check enabled as the README says, and the unit that runs the cases.
    cp -a "$3/." / && mkdir -p /var/lib/prometheus/node-exporter || echo "VM-ERROR $stage: cannot install"
    # A host that is a container says so in its root; this machine is none,
    # and systemd must run udev here.
    rm -f /.dockerenv /run/.containerenv
    systemctl enable kalpex@renderD128.service >/dev/null 2>&1 || echo "VM-ERROR $stage: cannot enable the check"
    cat >/etc/systemd/system/kalpex-vm.target <<END
[Unit]
Description=The VM's systemd cases
Requires=basic.target kalpex-vm.service
After=basic.target kalpex-vm.service
END
    cat >/etc/systemd/system/kalpex-vm.service <<END
[Unit]
After=basic.target
SuccessAction=poweroff-force
FailureAction=poweroff-force
[Service]
Type=oneshot
ExecStart=/bin/sh -c 'exec /bin/sh $0 systemd $kalpex >/dev/ttyS0 2>&1'
END
    exit
    ;;
systemd)
    unit=kalpex@renderD128.service
    metrics=/var/lib/prometheus/node-exporter/kalpex-renderD128.prom
    # The lines of the unit's last run, as the journal has them; they may
    # reach it a moment after the unit has ended.
    last_run() {
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            journalctl -q -o cat _SYSTEMD_INVOCATION_ID="$(systemctl show -P InvocationID "$unit")" \
                SYSLOG_IDENTIFIER=kalpex | grep . && return
            sleep 0.5
        done
    }
    # with_settings LINES...: a drop-in for the unit (none: removed).
    with_settings() {
        mkdir -p "/run/systemd/system/$unit.d"
        printf '%s\n' "[Service]" "$@" >"/run/systemd/system/$unit.d/vm.conf"
        systemctl daemon-reload
    }
    started_ms=0
    start() {
        started_ms=$(now_ms)
        systemctl start "$unit" 2>/dev/null
        took=$(($(now_ms) - started_ms))
        echo "VM-INFO $stage: $1: $(systemctl show -P Result "$unit") after $took ms: $(last_run | head -n 1)"
    }

    # The device unit started the enabled check when the node appeared.
    echo "VM-INFO $stage: up after $(cut -d' ' -f1 /proc/uptime) s; $(systemd-detect-virt); udevd $(systemctl is-active systemd-udevd); device $(systemctl is-active dev-dri-renderD128.device); $(systemctl show -P Wants dev-dri-renderD128.device)"
    for _ in $(seq 60); do
        [ -n "$(systemctl show -P ExecMainExitTimestampMonotonic "$unit" | tr -d 0)" ] && break
        sleep 1
    done
    [ "$(systemctl show -P Result "$unit")" = success ] && [ "$(last_run | head -n 1)" = "kalpex: PASS (SOFTWARE fallback)" ] &&
        grep -q '^kalpex_probe_success{node="/dev/dri/renderD128"} 1$' $metrics
    result "enabled, the check ran when the node appeared" $? "$(systemctl show -P Result "$unit"): $(last_run | head -n 2)"

    # A driver stuck in the kernel, under the unit.
    dmsetup create stall --noudevsync --table '0 8 error' && dmsetup mknodes stall && dmsetup suspend stall ||
        echo "VM-ERROR $stage: cannot make a suspended device-mapper device"
    with_settings "Environment=LD_LIBRARY_PATH=$standin STANDIN_STALL=eglInitialize STANDIN_STALL_PATH=/dev/mapper/stall" \
        "Environment=KALPEX_MONITOR_OPTIONS=--timeout=2"
    start "stuck"
    pid=$(last_run | head -n 1 | sed -n 's/.*(process \([0-9]*\) could not be ended)$/\1/p')
    [ "$(systemctl show -P Result "$unit")" = exit-code ] && [ "$took" -lt 15000 ] && [ -n "$pid" ] &&
        grep -q '^State:.D' "/proc/$pid/status" && grep -q 'stage="no result within 2 s"' $metrics
    result "stuck: the unit fails on the adapter's bound, FAIL line first" $? "took $took ms: $(last_run | head -n 2)"
    start "stuck, again"
    last_run | head -n 1 | grep -q "^kalpex: FAIL check stuck since .* (process $pid)$" && [ "$took" -lt 3000 ] &&
        [ "$(pgrep -c -x kalpex)" = 1 ]
    result "stuck: the next run fails at once and starts nothing" $? "took $took ms: $(last_run | head -n 2)"
    dmsetup resume stall
    for _ in $(seq 10); do [ -d "/proc/$pid" ] || break; sleep 1; done
    start "resumed"
    [ "$(systemctl show -P Result "$unit")" = success ]
    result "resumed: the next run passes" $? "$(last_run | head -n 2)"

    # Stopped in the middle of a check: no old pass left behind.
    with_settings "Environment=LD_LIBRARY_PATH=$standin STANDIN_HANG=eglInitialize"
    systemctl start --no-block "$unit"
    sleep 2
    systemctl stop "$unit"
    last_run | head -n 1 | grep -q '^kalpex: UNKNOWN check terminated by SIGTERM$' &&
        grep -q '^kalpex_probe_success{node="/dev/dri/renderD128"} 0$' $metrics && grep -q 'stage="terminated"' $metrics
    result "stopped: the metrics say the check did not finish" $? "$(last_run | head -n 2); $(grep success $metrics)"
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
