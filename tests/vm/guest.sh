#!/bin/sh
# SPDX-License-Identifier: MIT
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
# write (the host's /run is read-only here). Outside the systemd stage it
# runs kalpex as root: those stages are about GPUs, not users.
# The stages are about GBM's path (kalpex), and the units' settings say so
# too; the virgl and container stages check the other paths.
export KALPEX="$kalpex" RUNTIME_DIRECTORY=/dev/shm/locks KALPEX_APIS=gbm
mkdir -p "$RUNTIME_DIRECTORY"
# The streams whose kalpex lines a case judges; the adapter's cases judge
# its standard output alone.
streams="/dev/shm/out /dev/shm/err"

# What the adapter writes beside a virtio-gpu's node ($1: renderD128): its
# slot, the PCI function the node hangs off, and the driver of the virtio
# device beneath it.
beside() {
    echo " ($(basename "$(readlink -f "/sys/class/drm/$1/device")"), virtio_gpu)"
}
# The same as a pattern (grep -E).
beside_pattern() {
    beside "$1" | sed 's/[().]/\\&/g'
}

# The PCI display devices (class 0x03) that no driver holds.
driverless_display() {
    for device in /sys/bus/pci/devices/*; do
        case $(cat "$device/class") in 0x03*) [ -e "$device/driver" ] || echo "${device##*/}" ;; esac
    done
}

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

# A driver stuck in the kernel: the stand-in's eglInitialize reads
# /dev/mapper/stall, suspended here (readable by all, so that the checks'
# user stalls too), and sleeps uninterruptibly until it is resumed.
suspend_stall() {
    dmsetup create stall --noudevsync --table '0 8 error' && dmsetup mknodes stall &&
        chmod 644 /dev/mapper/stall && dmsetup suspend stall && return
    echo "VM-ERROR $stage: cannot make a suspended device-mapper device"
    return 1
}
stuck_pid() {  # the process a FAIL line says could not be ended
    sed -n 's/.*(process \([0-9]*\) could not be ended).*/\1/p'
}
resume_stall() {  # and wait for the stuck kalpex ($1) to end
    dmsetup resume stall
    for _ in 1 2 3 4 5 6 7 8 9 10; do [ -d "/proc/$1" ] || break; sleep 1; done
}

# The systemd and wedge stages: the package's units, as systemd runs them.
use() {  # the GPU the cases below are about, by its render node's name
    node=/dev/dri/$1
    # What udev knows of the node once it has handled its events: early at
    # boot, or just after a GPU came, its path may not be there yet.
    udevadm settle --timeout=30 2>/dev/null
    # Its unit is named as udev's /dev/dri/by-path names its device, and its
    # lines and metrics name it by that path; a node with none, by its own
    # name.
    instance=$(udevadm info -q property -n "$node" 2>/dev/null | sed -n 's/^ID_PATH=//p')
    label=${instance:+/dev/dri/by-path/$instance-render}
    instance=${instance:-$1} label=${label:-$node}
    unit=kalpex@$instance.service metrics=/var/lib/prometheus/node-exporter/kalpex-$instance.prom
}
# The lines of the unit's last run (those since $since), as the journal
# has them; they may reach it a moment after the unit has ended.
since=
last_run() {
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        journalctl -q -o cat -u "$unit" SYSLOG_IDENTIFIER=kalpex ${since:+"--since=@$since"} |
            grep . && return
        sleep 0.5
    done
}
# with_settings LINES...: a drop-in for the unit.
with_settings() {
    mkdir -p "/run/systemd/system/$unit.d"
    printf '%s\n' "[Service]" "$@" >"/run/systemd/system/$unit.d/vm.conf"
    systemctl daemon-reload
}
# start NAME: runs the unit as systemctl does, and keeps its status (a
# unit that ran once may be gone from systemd's memory when it ends).
start() {
    since=$(date +%s.%N)
    started_ms=$(now_ms)
    systemctl start "$unit" 2>/dev/null
    status=$? took=$(($(now_ms) - started_ms))
    echo "VM-INFO $stage: $1: status $status after $took ms: $(last_run | head -n 1)"
}
names_gpu() {  # the unit's last run led with LINE on its GPU, the slot and driver beside it where known
    first=$(last_run | head -n 1)
    [ "$first" = "$1 on $label" ] || [ "${first#"$1 on $label ("}" != "$first" ]
}
passed() {  # the unit's last run passed with LINE first, and root published it
    [ "$status" = 0 ] && names_gpu "$1" &&
        grep -q "^kalpex_probe_success{device=\"$label\",api=\"gbm\"} 1$" "$metrics" &&
        [ "$(stat -c '%U %a' "$metrics")" = "root 644" ] && [ ! -e "/run/kalpex/${metrics##*/}" ]
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
    on() { echo "kalpex: PASS \\(SOFTWARE fallback\\) on /dev/dri/renderD$1$(beside_pattern "renderD$1")\\|"; }
    check "no node: every GPU" 0 "^$(on 128)$(on 129)$" "$monitor" --user=root
    started=$(now_ms)
    "$monitor" --user=root $render >/dev/null 2>&1
    one=$(($(now_ms) - started))
    started=$(now_ms)
    "$monitor" --user=root >/dev/null 2>&1
    echo "VM-INFO $stage: wall time, 1 node $one ms, 2 nodes $(($(now_ms) - started)) ms"
    check "one GPU failing is named first" 1 \
        "^kalpex: FAIL eglInitialize \(renderer: \(none\), eglError 0x3000\) on /dev/dri/renderD129$(beside_pattern renderD129)\|kalpex: PASS \(HARDWARE\) on $render$(beside_pattern renderD128)\|$" \
        env LD_LIBRARY_PATH="$standin" STANDIN_FAIL=eglInitialize STANDIN_ONLY_ON=/dev/dri/renderD129 "$monitor" --user=root
    # The second GPU falls off the bus, and its render node goes with it.
    gpu=$(readlink -f /sys/class/drm/renderD129/device)
    [ -e "$gpu/remove" ] || gpu=${gpu%/*}
    echo 1 >"$gpu/remove"
    echo "VM-INFO $stage: removed $gpu, leaving" /dev/dri/*
    # The bochs-display, whose driver this stage has not loaded yet, is a
    # display device without a render node: the line names it.
    bochs=$(driverless_display)
    check "a GPU gone, --expect=2, the driverless display named" 1 \
        "^kalpex: FAIL expected 2 GPUs, found 1 \\($bochs: no driver\\)\|$(on 128)$" "$monitor" --user=root --expect=2
    ;;
stuck)
    suspend_stall || { echo "VM-STAGE-DONE $stage"; exit; }
    set -- env LD_LIBRARY_PATH="$standin" STANDIN_STALL=eglInitialize STANDIN_STALL_PATH=/dev/mapper/stall \
        "$monitor" --user=root --timeout=2 /dev/null
    # Read as the detector reads it: to the end of both streams.
    started=$(now_ms)
    all=$("$@" 2>&1)
    status=$? took=$(($(now_ms) - started))
    first=${all%%
*}
    pid=$(echo "$first" | stuck_pid)
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

    resume_stall "$pid"
    streams=/dev/shm/out
    check "resumed, the next run passes" 0 "^kalpex: PASS \(HARDWARE\)\|" "$@"
    dmsetup remove stall
    ;;
systemd-setup)
    # In the overlay, before systemd starts: the package's files and its
    # user (as its postinst makes it), the check enabled as the README says,
    # the stand-in stack where the checks' user can read it, and the unit
    # that runs the cases.
    cp -a "$3/." / && mkdir -p /var/lib/prometheus/node-exporter || echo "VM-ERROR $stage: cannot install"
    systemd-sysusers kalpex.conf || echo "VM-ERROR $stage: cannot make the checks' user"
    cp -r "$standin" /opt/standin && chmod -R a+rX /opt/standin || echo "VM-ERROR $stage: cannot copy the stand-in"
    # A host that is a container says so in its root; this machine is none,
    # and systemd must run udev here.
    rm -f /.dockerenv /run/.containerenv
    # Nothing is enabled: udev starts each GPU's check and timer. The timers
    # wait an hour here, so that no run of theirs falls among the cases.
    mkdir -p /etc/systemd/system/kalpex@.timer.d
    printf '%s\n' "[Timer]" "OnBootSec=" "OnBootSec=1h" "OnUnitActiveSec=" "OnUnitActiveSec=1h" \
        >/etc/systemd/system/kalpex@.timer.d/vm.conf
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
ExecStart=/bin/sh -c 'exec /bin/sh $0 ${4:-systemd} $kalpex >/dev/ttyS0 2>&1'
END
    # Every GPU of this VM renders in software: the wedge and slots stages
    # accept it, as the settings say how; the systemd stage starts with the
    # shipped settings.
    echo 'KALPEX_APIS=gbm' >/etc/default/kalpex
    case ${4:-} in
        wedge | slots) echo 'KALPEX_ARGS=' >>/etc/default/kalpex ;;
    esac
    exit
    ;;
systemd)
    # The package's hardened unit, as systemd runs it: the check runs as the
    # kalpex user, and root publishes its metrics. Every run here, the
    # detector's included, runs the installed kalpex, which that user can
    # reach wherever the build folder lies.
    unset KALPEX RUNTIME_DIRECTORY
    standin=/opt/standin
    use renderD128
    echo "VM-INFO $stage: up after $(cut -d' ' -f1 /proc/uptime) s; udevd $(systemctl is-active systemd-udevd); $(systemd-analyze security --no-pager "$unit" 2>&1 | grep -a -o 'Overall exposure level[^:]*: [0-9.]* [A-Z]*')"
    # udev started the GPU's check, and its timer, when its node appeared.
    for _ in $(seq 60); do
        [ -n "$(systemctl show -P ExecMainExitTimestampMonotonic "$unit" | tr -d 0)" ] && break
        sleep 1
    done
    # Under the shipped settings a software fallback fails the check: on a
    # GPU machine the GPU is not in use.
    case $(systemctl show -P Result "$unit"):$(systemctl is-active "${unit%.service}.timer"):$(last_run | head -n 1) in
        exit-code:active:"kalpex: FAIL --require-hw: software renderer answered (renderer: llvmpipe "*" on $label$(beside renderD128)") true ;;
        *) false ;;
    esac
    result "nothing enabled, udev started $unit and its timer as the node appeared; the shipped settings fail a software fallback" $? \
        "$(systemctl show -P Result "$unit"), timer $(systemctl is-active "${unit%.service}.timer"): $(last_run | head -n 2)"
    # The rest accept it, as the settings say how.
    printf '%s\n' 'KALPEX_APIS=gbm' 'KALPEX_ARGS=' >/etc/default/kalpex
    start "a software fallback accepted"
    passed "kalpex: PASS (SOFTWARE fallback)"
    result "KALPEX_ARGS= accepts a software fallback" $? "$(systemctl show -P Result "$unit"): $(last_run | head -n 2)"
    # No line but those the same check writes outside the sandbox.
    outside=$(XDG_CACHE_HOME=/var/cache/kalpex setpriv --reuid=kalpex --regid=kalpex --init-groups \
        /usr/libexec/kalpex/kalpex-monitor --gpu="$instance" 2>&1)
    [ "$(last_run)" = "$outside" ]
    result "the sandbox adds no line to the journal" $? "journal: $(last_run | tr '\n' '|'); outside: $(echo "$outside" | tr '\n' '|')"
    # A unit by the node's number, as earlier versions named them, leaves
    # the GPU to its slot's unit: no GPU is published twice.
    slot_unit=$unit unit=kalpex@renderD128.service
    start "by the node's number"
    [ "$status" = 0 ] && [ "$(last_run | head -n 1)" = "kalpex: renderD128 is checked as $instance ($slot_unit): nothing checked under its number" ] &&
        [ ! -e /var/lib/prometheus/node-exporter/kalpex-renderD128.prom ] && [ -e "$metrics" ]
    result "the unit by the node's number leaves the GPU to its slot's unit" $? "status $status: $(last_run | head -n 1); $(ls /var/lib/prometheus/node-exporter)"
    use renderD128

    # Every kernel driver's node, and one that is /dev/null, under the unit.
    mknod /dev/dri/renderD200 c 1 3 && chgrp render /dev/dri/renderD200 && chmod 660 /dev/dri/renderD200
    for path in /dev/dri/renderD*; do
        use "${path##*/}"
        start "$(readlink -f "/sys/class/drm/${path##*/}/device/driver" 2>/dev/null || echo /dev/null)"
        passed "kalpex: PASS (SOFTWARE fallback)"
        result "$node passes under the hardened unit" $? "$(last_run | head -n 2); $(journalctl -u "$unit" -o cat | tail -n 4)"
    done

    # A node only root may open fails at open, under the unit and under
    # the detector's rule as the detector runs it (as root, through nsenter).
    use renderD128
    chmod 600 "$node"
    start "root-only node"
    # Refused, and said so: the group is the one the unit's sandbox shows.
    denied="$(beside renderD128): Permission denied for user kalpex (crw------- root:"
    case $(last_run | head -n 1) in "kalpex: FAIL open $label$denied"*")") [ "$status" = 1 ] ;; *) false ;; esac
    result "a root-only node fails at open under the unit, saying permission" $? "$(last_run | head -n 2)"
    rule=$(nsenter --target=1 --mount --root -- /usr/libexec/kalpex/kalpex-monitor --timeout=60 --require-hw 2>/dev/null)
    [ "$?" = 1 ] && [ "${rule%%
*}" = "kalpex: FAIL open $node${denied}render)" ]
    result "a root-only node fails at open under the detector's rule, saying permission" $? "$(echo "$rule" | head -n 2)"
    chmod 660 "$node"

    # A driver stuck in the kernel, under the unit.
    suspend_stall
    with_settings "Environment=LD_LIBRARY_PATH=$standin STANDIN_STALL=eglInitialize STANDIN_STALL_PATH=/dev/mapper/stall" \
        "Environment=KALPEX_MONITOR_OPTIONS=--timeout=2" "DeviceAllow=block-device-mapper r"
    # How long the check took by the adapter's own clock, in whole
    # milliseconds: systemd's start around it takes 1 to 4 s here, more on
    # a busy host, so the unit's time alone cannot tell a check that waited.
    check_ms() {
        grep -F "kalpex_probe_duration_seconds{device=\"$label\",api=\"gbm\"} " "$metrics" | sed 's/.*} //; s/\.//; s/^0*\(.\)/\1/'
    }
    start "stuck"
    pid=$(last_run | head -n 1 | stuck_pid) ms=$(check_ms)
    echo "VM-INFO $stage: stuck: the adapter gave up after ${ms:-?} ms"
    # Given up on at the bound, 2 s, and the 6 s of ending it; the unit
    # itself well inside its own 120 s.
    [ "$status" = 1 ] && [ "$took" -lt 60000 ] && [ -n "$pid" ] && [ "${ms:-0}" -ge 8000 ] && [ "$ms" -lt 9000 ] &&
        grep -q '^State:.D' "/proc/$pid/status" && grep -q 'stage="no result within 2 s"' "$metrics"
    result "stuck: the unit fails on the adapter's bound, FAIL line first" $? "took $took ms, the check $ms ms: $(last_run | head -n 2)"
    # At once: waiting for the earlier check would take this one's bound, 2 s.
    start "stuck, again"
    ms=$(check_ms)
    last_run | head -n 1 | grep -q "^kalpex: FAIL check stuck since .* (process $pid) on $label" && [ -n "$ms" ] &&
        [ "$ms" -lt 1000 ] && [ "$(pgrep -c -x kalpex)" = 1 ]
    result "stuck: the next run fails at once and starts nothing" $? "took $took ms, the check ${ms:-?} ms: $(last_run | head -n 2)"
    # The detector's rule, as root, shares the node's lock with the unit.
    rule=$(nsenter --target=1 --mount --root -- /usr/libexec/kalpex/kalpex-monitor --timeout=60 2>/dev/null)
    [ "$?" = 1 ] && echo "${rule%%
*}" | grep -Eq "^kalpex: FAIL check stuck since .* \(process $pid\) on $node$(beside_pattern renderD128)$"
    result "stuck: the detector's rule fails that node at once too" $? "$(echo "$rule" | head -n 2)"
    resume_stall "$pid"
    start "resumed"
    passed "kalpex: PASS (HARDWARE)"
    result "resumed: the next run passes" $? "$(last_run | head -n 2)"

    # Stopped in the middle of a check: no old pass left behind.
    with_settings "Environment=LD_LIBRARY_PATH=$standin STANDIN_HANG=eglInitialize"
    since=$(date +%s.%N)
    systemctl start --no-block "$unit"
    sleep 2
    systemctl stop "$unit"
    names_gpu "kalpex: UNKNOWN check terminated by SIGTERM" &&
        grep -q "^kalpex_probe_success{device=\"$label\",api=\"gbm\"} 0$" "$metrics" && grep -q 'stage="terminated"' "$metrics"
    result "stopped: the metrics say the check did not finish" $? "$(last_run | head -n 2); $(grep success "$metrics")"
    ;;
wedge)
    # Linux 6.15 and later: the kernel's own uevent and log line for a
    # wedged GPU, sent by the test module on a real driver's device, reach
    # the package's udev rule, which restarts the enabled checks at once.
    unset KALPEX RUNTIME_DIRECTORY
    control=/proc/kalpex-wedge
    echo "VM-INFO $stage: $(uname -r), up after $(cut -d' ' -f1 /proc/uptime) s; $(for n in /sys/class/drm/renderD*; do printf '%s=%s ' "${n##*/}" "$(basename "$(readlink -f "$n/device/driver")")"; done)"
    [ -w "$control" ] || echo "VM-ERROR $stage: the test module is not loaded"
    metric() {  # NAME: its value for $node in $metrics, labels and all
        sed -n "s|^kalpex_$1{device=\"${label}\",api=\"gbm\"\(.*\)$|\1|p" "$metrics" 2>/dev/null
    }
    runs() {  # the unit's last run, as systemd names it
        systemctl show -P InvocationID "$unit"
    }
    # until_done SINCE_MS CONDITION...: waits up to 30 s for CONDITION;
    # says how many milliseconds after SINCE_MS it held (or "never").
    until_done() {
        from=$1
        shift
        while [ "$(($(now_ms) - from))" -lt 30000 ]; do
            if "$@"; then echo $(($(now_ms) - from)); return; fi
            sleep 0.1
        done
        echo never
    }
    within() {  # MS LIMIT
        [ "$1" != never ] && [ "$1" -lt "$2" ]
    }
    # Conditions for until_done: the unit's check has ended, the way the
    # case wants, in a run that a kernel event started.
    after_event() {
        [ "$(metric probe_trigger)" = ',trigger="kernel_event"} 1' ]
    }
    failed_after_event() {
        [ "$(systemctl show -P ActiveState "$unit")" = failed ] && after_event && [ "$(metric probe_success)" = '} 0' ]
    }
    passed_now() {
        [ "$(systemctl show -P ActiveState "$unit")" = inactive ] && [ "$(systemctl show -P Result "$unit")" = success ] &&
            [ "$(metric probe_success)" = '} 1' ]
    }
    passed_after_event() {
        passed_now && after_event
    }
    # udev started both GPUs' checks when their nodes appeared.
    for gpu in renderD128 renderD129; do
        use $gpu
        until_done "$(now_ms)" passed_now >/dev/null
        status=0
        passed "kalpex: PASS (SOFTWARE fallback)"
        result "$gpu's check, started by udev, passed at boot" $? "$(systemctl show -P Result "$unit"): $(last_run | head -n 2)"
    done
    use renderD129
    other_runs=$(runs) other_metrics=$(cat "$metrics")

    # Every ioctl of the virtio-gpu device fails from now on, and it is
    # reported wedged: Mesa still renders in software there.
    use renderD128
    since=$(date +%s.%N)
    echo "fail-ioctls /dev/dri/renderD128" >"$control" || echo "VM-ERROR $stage: the module refused fail-ioctls"
    wedged_at=$(now_ms)
    echo "wedge /dev/dri/renderD128 6" >"$control" || echo "VM-ERROR $stage: the module refused the wedge"
    took=$(until_done "$wedged_at" failed_after_event)
    echo "VM-INFO $stage: wedged: the unit failed after $took ms: $(last_run | tr '\n' '|')"
    echo "VM-INFO $stage: the kernel said: $(dmesg | grep -o '[^]]*\] device wedged.*' | tail -n 1)"
    within "$took" 10000 && [ "$(last_run | head -n 1)" = "kalpex: FAIL device wedged (WEDGED=rebind,bus-reset) on $label$(beside renderD128)" ] &&
        grep -q 'stage="device wedged"' "$metrics"
    result "wedged, ioctls failing: the unit fails within 10 s, FAIL line first, success 0" $? "after $took ms: $(last_run | head -n 3 | tr '\n' '|')"
    # What kalpex itself said follows the wedge's line: on a device whose
    # ioctls fail, Mesa (22 and 25) passes in software.
    own=$(last_run | sed -n '2,$p' | grep -m 1 -E '^kalpex: (PASS|FAIL) ')
    echo "VM-INFO $stage: wedged: kalpex's own verdict: $own"
    [ "$own" = "kalpex: PASS (SOFTWARE fallback)" ] && [ "$(metric kernel_wedged)" = ',wedged="rebind,bus-reset"} 1' ] &&
        [ "$(metric kernel_wedge_events_total)" = '} 1' ] && [ "$(metric kernel_event_unanswered)" = '} 1' ]
    result "wedged: kalpex's own software pass is not taken as health" $? "$(last_run | tr '\n' '|'); $(grep kernel_ "$metrics" | tr '\n' '|')"
    rule=$(/usr/libexec/kalpex/kalpex-monitor --timeout=60 2>/dev/null)
    [ "$?" = 1 ] && [ "${rule%%
*}" = "kalpex: FAIL device wedged (WEDGED=rebind,bus-reset) on $node$(beside renderD128)" ]
    result "wedged: the detector's rule, as root, fails that GPU too" $? "$(echo "$rule" | head -n 2 | tr '\n' '|')"
    # The timer's next run: the unit's sandbox keeps what its checks saw.
    start "wedged, the next run"
    [ "$status" = 1 ] && [ "$(last_run | head -n 1)" = "kalpex: FAIL device wedged (WEDGED=rebind,bus-reset) on $label$(beside renderD128)" ] &&
        [ "$(metric probe_trigger)" = ',trigger="schedule"} 1' ] && [ "$(stat -c %U "/run/kalpex/dev-dri-renderD128.answered")" = kalpex ]
    result "wedged: the next scheduled run fails too, from what the unit kept" $? "$(last_run | head -n 1); $(metric probe_trigger); $(ls -l /run/kalpex)"
    use renderD129
    [ "$(runs)" = "$other_runs" ] && [ "$(cat "$metrics")" = "$other_metrics" ]
    result "the other GPU's check is untouched" $? "runs $other_runs, now $(runs)"

    # WEDGED=none, on vgem: a reset brought it back; its check runs again,
    # and its verdict stands.
    use renderD129
    reset_at=$(now_ms)
    echo "wedge /dev/dri/renderD129 1" >"$control" || echo "VM-ERROR $stage: the module refused WEDGED=none"
    took=$(until_done "$reset_at" passed_after_event)
    within "$took" 10000 && [ "$(metric kernel_reset_events_total)" = '} 1' ] &&
        [ "$(metric kernel_wedged)" = ',wedged="none"} 0' ]
    result "WEDGED=none: the check runs again and passes" $? "after $took ms: $(last_run | head -n 1); $(grep kernel_ "$metrics" | tr '\n' '|')"

    # Root's synthetic events carry their values as SYNTH_ARG_*, never as
    # WEDGED=, and start nothing; the kernel takes only letters and digits
    # in them. Values no kernel sends, given to the handler as udev would,
    # are refused, and nothing runs.
    use renderD128
    before=$(runs)
    use renderD129
    other_runs=$(runs)
    for arguments in "WEDGED=rebind" "WEDGED=rebind TASK=sh PID=1" "WEDGED=$(printf 'x%.0s' $(seq 300))" \
        "WEDGED=\$(touch\${IFS}/pwned)"; do
        echo "change 5f2c3e1a-8b1d-4c7e-9f00-0123456789ab $arguments" >/sys/class/drm/card0/uevent 2>/dev/null ||
            echo "VM-INFO $stage: the kernel refused the synthetic event ${arguments%% *}"
    done
    devpath=$(readlink -f /sys/class/drm/card0) refused=
    # shellcheck disable=SC2016 # not to be expanded, by anyone
    for value in '$(touch /pwned)' 'rebind;touch /pwned' "rebind' \"\`touch /pwned\`" "$(printf 'rebind,%.0s' $(seq 40))rebind" \
        'rebind bus-reset' ''; do
        env -i ACTION=change SUBSYSTEM=drm DEVPATH="${devpath#/sys}" WEDGED="$value" \
            /usr/libexec/kalpex/kalpex-monitor --kernel-event 2>/dev/null
        refused="$refused$?"
    done
    sleep 3
    use renderD128
    [ "$(runs)" = "$before" ] && [ ! -e /pwned ] && [ "$refused" = 222222 ] &&
        use renderD129 && [ "$(runs)" = "$other_runs" ] && [ "$(systemctl show -P ActiveState "$unit")" = inactive ]
    result "hostile events start nothing and fail nothing" $? "the handler's statuses $refused; renderD128's run $before, now $(use renderD128; runs); $(ls /pwned 2>&1)"

    # The wedged GPU leaves the bus and comes back (a bus reset): it starts
    # anew, and its enabled check passes.
    use renderD128
    gpu=$(readlink -f /sys/class/drm/renderD128/device)
    before=$(runs) since=$(date +%s.%N) back_at=$(now_ms)
    echo 1 >"$gpu/remove" && echo 1 >/sys/bus/pci/rescan || echo "VM-ERROR $stage: cannot take the GPU off the bus and back"
    passed_anew() {
        [ "$(runs)" != "$before" ] && passed_now
    }
    took=$(until_done "$back_at" passed_anew)
    within "$took" 30000 && [ -z "$(metric kernel_wedged)" ] && names_gpu "kalpex: PASS (SOFTWARE fallback)"
    result "off the bus and back, the wedged GPU's check passes anew" $? "after $took ms: $(last_run | head -n 1); $(grep kernel_ "$metrics" | tr '\n' '|')"

    # The kernel's lines, and the detector's kernel-log rule on them: the
    # wedge that needs recovery is a problem, WEDGED=none is not.
    dmesg --notime | grep 'device wedged' >/dev/shm/kernel-lines
    sed "s/^/VM-INFO $stage: kernel line: /" /dev/shm/kernel-lines
    python3 -c '
import json, re, sys
rules = json.load(open("/usr/share/kalpex/node-problem-detector-kalpex-kernel.json"))["rules"]
for line in sys.stdin.read().splitlines():
    reasons = [rule["reason"] for rule in rules if re.search(rule["pattern"] + r"\Z", line)]
    print(reasons[0] if reasons else "-")' </dev/shm/kernel-lines >/dev/shm/reasons 2>&1
    [ "$(tr '\n' ' ' </dev/shm/reasons)" = "GPUWedged - " ]
    result "the detector's kernel-log rule takes the kernel's wedged line, not its reset line" $? "$(tr '\n' ' ' </dev/shm/reasons)"

    # vgem unplugged under --expect=2: the GPU that remains fails at once.
    printf '%s\n' 'KALPEX_APIS=gbm' 'KALPEX_ARGS=' 'KALPEX_MONITOR_OPTIONS="--expect=2"' >/etc/default/kalpex
    since=$(date +%s.%N) unplugged_at=$(now_ms)
    echo "unplug /dev/dri/renderD129" >"$control" || echo "VM-ERROR $stage: the module refused the unplug"
    one_gpu_after_event() {
        [ "$(systemctl show -P ActiveState "$unit")" = failed ] && after_event && [ "$(metric render_nodes)" = '} 1' ]
    }
    took=$(until_done "$unplugged_at" one_gpu_after_event)
    echo "VM-INFO $stage: unplugged: the unit failed after $took ms: $(last_run | tr '\n' '|')"
    within "$took" 10000 && [ "$(last_run | head -n 1)" = "kalpex: FAIL expected 2 GPUs, found 1" ] &&
        [ "$(metric kernel_event_unanswered)" = '} 1' ]
    result "vgem unplugged under --expect=2: the remaining GPU's check fails within 10 s" $? "after $took ms: $(last_run | head -n 2 | tr '\n' '|'); $(grep -e kernel_ -e render_nodes "$metrics" | tr '\n' '|')"
    ;;
slots)
    # A virtio-gpu behind a PCIe root port that offers x16 at 16 GT/s, vgem,
    # and a bochs-display whose driver the kernel was told to keep out
    # (module_blacklist=bochs): a display device on the bus with no driver.
    # The package's units, as systemd runs them; the adapter as root
    # elsewhere.
    unset KALPEX RUNTIME_DIRECTORY
    adapter=/usr/libexec/kalpex/kalpex-monitor
    slot=$(basename "$(readlink -f /sys/class/drm/renderD128/device)")
    port=$(basename "$(dirname "$(readlink -f "/sys/bus/pci/devices/$slot")")")
    bochs=$(driverless_display)
    read_attribute() { cat "$1" 2>/dev/null || echo -; }
    echo "VM-INFO $stage: virtio-gpu $slot behind $port: x$(read_attribute "/sys/bus/pci/devices/$slot/current_link_width") of x$(read_attribute "/sys/bus/pci/devices/$slot/max_link_width") at $(read_attribute "/sys/bus/pci/devices/$slot/current_link_speed"), the port's most x$(read_attribute "/sys/bus/pci/devices/$port/max_link_width"); the display device with no driver: ${bochs:-none}"
    lines=$("$adapter" --textfile=/dev/shm/slots.prom 2>/dev/null)
    status=$?
    first=$(echo "$lines" | sed -n 1p) second=$(echo "$lines" | sed -n 2p)
    [ "$status" = 0 ] && [ "$first" = "kalpex: PASS (SOFTWARE fallback) on /dev/dri/renderD128 ($slot, virtio_gpu)" ] &&
        case $second in "kalpex: PASS (SOFTWARE fallback) on /dev/dri/renderD129 (no PCI device, "*")") ;; *) false ;; esac
    result "each line names its GPU's slot and driver, and vgem no slot" $? "status $status: $(echo "$lines" | tr '\n' '|')"
    info() {  # NODE GPU_NODE SLOT DRIVER: the info series, with the device's own IDs
        echo "kalpex_gpu_info{device=\"$1\",gpu_node=\"$2\",pci_address=\"$3\",driver=\"$4\",vendor_id=\"$(cat "/sys/bus/pci/devices/$3/vendor")\",device_id=\"$(cat "/sys/bus/pci/devices/$3/device")\"} 1"
    }
    [ "$slot" != "${slot#0000:}" ] && [ "$port" != "$slot" ] &&
        grep -qxF "$(info /dev/dri/renderD128 /dev/dri/renderD128 "$slot" virtio_gpu)" /dev/shm/slots.prom &&
        grep -qx 'kalpex_gpu_info{device="/dev/dri/renderD129",gpu_node="/dev/dri/renderD129",pci_address="",.*} 1' /dev/shm/slots.prom
    result "the info series names the node's slot and driver" $? "$(grep gpu_info /dev/shm/slots.prom | tr '\n' '|')"
    [ -n "$bochs" ] && grep -qxF "$(info /dev/dri/renderD128 "" "$bochs" "")" /dev/shm/slots.prom
    result "the display device with no driver is in the info series" $? "${bochs:-no driverless display}: $(grep gpu_info /dev/shm/slots.prom | tr '\n' '|')"
    lines=$("$adapter" --expect=3 2>/dev/null)
    [ "$?" = 1 ] && [ "$(echo "$lines" | head -n 1)" = "kalpex: FAIL expected 3 GPUs, found 2 ($bochs: no driver)" ]
    result "--expect=3 fails, naming the display device with no driver" $? "$(echo "$lines" | head -n 1)"
    # The GPU's own x1 is the link's most, whatever the port offers: no flag.
    grep -qx 'kalpex_pcie_link_width{device="/dev/dri/renderD128",api="gbm"} 1' /dev/shm/slots.prom &&
        grep -qx 'kalpex_pcie_link_max_width{device="/dev/dri/renderD128",api="gbm"} 1' /dev/shm/slots.prom &&
        grep -qx 'kalpex_pcie_link_degraded{device="/dev/dri/renderD128",api="gbm"} 0' /dev/shm/slots.prom &&
        grep -q '^kalpex_pcie_link_speed_transfers_per_second{device="/dev/dri/renderD128",api="gbm"} ' /dev/shm/slots.prom
    result "the link series are there, and the root port's x16 flags nothing" $? "$(grep pcie_link /dev/shm/slots.prom | tr '\n' '|')"
    plugin=$(/usr/lib/nagios/plugins/check_kalpex 2>/dev/null)
    [ "$?" = 1 ] && ! echo "$plugin" | grep -q 'kalpex: WARNING PCIe' &&
        echo "$plugin" | head -n 1 | grep -qF "'/dev/dri/renderD128 PCIe width'=1;1:;;0;1"
    result "the plugin warns for the software pass alone, with the link's width" $? "$(echo "$plugin" | tr '\n' '|')"

    # A node the unit's user may not open: refused, and said so.
    use renderD128
    chmod 600 "$node"
    start "root-only node"
    case $(last_run | head -n 1) in
        "kalpex: FAIL open $label ($slot, virtio_gpu): Permission denied for user kalpex (crw------- root:"*")")
            [ "$status" = 1 ] && grep -q "^kalpex_probe_open_failure{device=\"$label\",api=\"gbm\",cause=\"permission\"," "$metrics" ;;
        *) false ;;
    esac
    result "a 0600 node fails at open under the unit, saying permission" $? "$(last_run | head -n 1); $(grep open_failure "$metrics" | tr '\n' '|')"
    chmod 660 "$node"

    # The virtio GPU leaves the bus: its card and then its render node are
    # removed, and vgem's check runs once, not ended by a second.
    gone=$instance gone_metrics=$metrics
    use renderD129
    for _ in $(seq 60); do [ "$(systemctl show -P ActiveState "$unit")" != activating ] && break; sleep 0.5; done
    since=$(date +%s.%N)
    echo 1 >"/sys/bus/pci/devices/$slot/remove" || echo "VM-ERROR $stage: cannot take the GPU off the bus"
    verdicts() {
        journalctl -q -o cat -u "$unit" SYSLOG_IDENTIFIER=kalpex "--since=@$since" | grep -E '^kalpex: (PASS|FAIL|UNKNOWN) '
    }
    for _ in $(seq 60); do [ -n "$(verdicts)" ] && [ "$(systemctl show -P ActiveState "$unit")" != activating ] && break; sleep 0.5; done
    sleep 3  # time for a second restart, were there one
    [ "$(verdicts | wc -l)" = 1 ] && ! verdicts | grep -q 'terminated by'
    result "an unplugged GPU restarts the remaining GPU's check once, ended by no signal" $? "$(verdicts | tr '\n' '|')"
    # Gone, its last metrics stay and alert; taken out on purpose, one step
    # stops its timer and withdraws them.
    [ -e "$gone_metrics" ] && [ "$(systemctl is-active "kalpex@$gone.timer")" = active ] &&
        systemctl start "kalpex-retire@$gone.service" && [ ! -e "$gone_metrics" ] &&
        [ "$(systemctl is-active "kalpex@$gone.timer")" = inactive ]
    result "a GPU taken out on purpose: kalpex-retire@ stops its timer and withdraws its metrics" $? \
        "timer $(systemctl is-active "kalpex@$gone.timer"); $(ls /var/lib/prometheus/node-exporter)"
    ;;
bochs)
    check "no arguments, only $card" 0 "$(software_pass $card)" "$kalpex"
    ;;
virgl)
    check "no arguments" 0 "$(report $render 'virgl ')kalpex: PASS \(HARDWARE\)\|$" "$kalpex"
    check "--require-hw" 0 "$(report $render 'virgl ')kalpex: PASS \(HARDWARE\)\|$" "$kalpex" --require-hw
    # EGL's device platform: Mesa lists virgl's device with its DRM files.
    check "EGL's devices: virgl by its render node, in hardware" 0 \
        "^kalpex: EGL_DEVICE=[0-9]+ of [0-9]+\|kalpex: EGL_DEVICE_EXTENSIONS=[^|]*\|kalpex: node=$render\|kalpex: GL_RENDERER=virgl [^|]*\|.*kalpex: PASS \(HARDWARE\)\|$" \
        "${kalpex%/*}/kalpex-egl-device" --require-hw $render
    check "EGL's devices: the first that is not Mesa's software device is virgl" 0 \
        "kalpex: GL_RENDERER=virgl [^|]*\|.*kalpex: PASS \(HARDWARE\)\|$" "${kalpex%/*}/kalpex-egl-device" --require-hw
    # Vulkan: whatever Mesa offers for virtio-gpu here; said, not judged
    # beyond a verdict.
    check "Vulkan on the virgl node: a verdict" "0" "kalpex: PASS \((HARDWARE|SOFTWARE fallback)\)\|$" \
        "${kalpex%/*}/kalpex-vulkan" $render
    echo "VM-INFO $stage: Vulkan on virgl: $(grep -h '^kalpex: ' /dev/shm/out /dev/shm/err | tr '\n' '|')"
    check "the adapter, every path, on virgl" 0 "^kalpex: PASS [^|]* through [^|]*\|.*through gbm" \
        env -u KALPEX_APIS "$monitor" --user=root
    echo "VM-INFO $stage: every path on virgl: $(grep -h '^kalpex: ' /dev/shm/out | tr '\n' '|')"
    ;;
container)
    # podman on the read-only root: its storage, state and scratch files in
    # memory, no cgroup manager but the kernel's files, no network. Its
    # archive loading unpacks in /var/tmp whatever it is told; /root and
    # /tmp, where the checkout may be, stay as they are.
    mkdir -p /dev/pts && mount -t devpts devpts /dev/pts && mount -t cgroup2 cgroup2 /sys/fs/cgroup &&
        mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/tmp && mkdir -p /dev/shm/podman/tmp ||
        echo "VM-ERROR $stage: cannot mount what podman needs"
    export HOME=/dev/shm/podman TMPDIR=/dev/shm/podman/tmp
    podman() {
        command podman --root=/dev/shm/podman/storage --runroot=/dev/shm/podman/run --tmpdir=/dev/shm/podman/tmp \
            --network-config-dir=/dev/shm/podman/networks --storage-driver=overlay --cgroup-manager=cgroupfs \
            --events-backend=none "$@"
    }
    load() {  # the name of the image in build/images/$1.tar, once loaded
        podman load -q -i "${kalpex%/*}/images/$1.tar" 2>"/dev/shm/$1.err" | sed -n 's/^Loaded image[^:]*: //p' |
            grep . || echo "VM-ERROR $stage: cannot load $1.tar: $(tail -n 2 "/dev/shm/$1.err")" >&2
    }
    started=$(now_ms)
    kalpex_image=$(load kalpex)
    detector_image=$(load kalpex-node-problem-detector)
    echo "VM-INFO $stage: both images loaded in $(($(now_ms) - started)) ms"
    # With no udev, the nodes are root's alone: they get a group as udev
    # would give them render's, and the container gets that group as a
    # workload would.
    render_group=4242
    chgrp "$render_group" /dev/dri/renderD128 /dev/dri/renderD129 && chmod 660 /dev/dri/renderD128 /dev/dri/renderD129
    run() {  # podman run, its options before the image: GBM's path, as the cases are written
        podman run --rm --network=none --env=KALPEX_APIS=gbm "$@"
    }
    gpu() {  # NODE: the node given, with its group
        echo "--device=$1 --group-add=$render_group"
    }
    streams=/dev/shm/out
    on() { echo "^kalpex: $1 on /dev/dri/renderD$2$(beside_pattern "renderD$2")\\|$"; }
    denied="^kalpex: FAIL open $render$(beside_pattern renderD128): Permission denied for user kalpex \\(crw-rw---- [^)]*\\)\\|$"
    # shellcheck disable=SC2046,SC2086 # the options and the rule's arguments are words
    {
        check "virgl: a hardware pass in the container" 0 "$(on 'PASS \(HARDWARE\)' 128)" \
            run $(gpu $render) "$kalpex_image"
        echo "VM-INFO $stage: virgl in the container: $(grep -h '^kalpex: ' /dev/shm/out /dev/shm/err | tr '\n' '|')"
        check "virgl: --require-hw passes" 0 "$(on 'PASS \(HARDWARE\)' 128)" \
            run $(gpu $render) "$kalpex_image" --require-hw
        # Every path, as the image runs by default: GLES on virgl through GBM
        # and EGL's devices, Vulkan with the image's own drivers.
        check "virgl: every path in the container, GLES in hardware on both" 0 \
            "kalpex: PASS \(HARDWARE\) through gbm on ${render}[^|]*\|.*kalpex: PASS \(HARDWARE\) through egl-device on $render" \
            podman run --rm --network=none $(gpu $render) "$kalpex_image"
        echo "VM-INFO $stage: every path in the container: $(grep -h '^kalpex: ' /dev/shm/out | tr '\n' '|')"
        check "virtio-gpu 2D: a software pass" 0 "$(on 'PASS \(SOFTWARE fallback\)' 129)" \
            run $(gpu /dev/dri/renderD129) "$kalpex_image"
        # No /dev/dri: the VM's GPUs are reached through EGL's devices and
        # Vulkan alone, and GBM alone says why it checked nothing.
        check "no device given: GBM says the container has no DRM node" 1 \
            "^kalpex: FAIL gbm on [^|]*: the machine has no DRM node\|kalpex: FAIL gbm on [^|]*: the machine has no DRM node\|$" \
            run "$kalpex_image"
        check "the device without its group: FAIL at open, saying permission" 1 "$denied" \
            run --device=$render "$kalpex_image"
        # The detector's rule, as its image's config has it, run in that
        # image: the path and arguments from its "path" and "args".
        config=$(run --entrypoint=cat "$detector_image" /config/kalpex-monitor.json)
        path=$(echo "$config" | sed -n 's/.*"path": "\([^"]*\)".*/\1/p')
        args=$(echo "$config" | sed -n 's/.*"args": \[\(.*\)\].*/\1/p' | tr -d '",')
        echo "VM-INFO $stage: the detector's rule: $path $args"
        check "detector image: the rule passes on virgl" 0 "$(on 'PASS \(HARDWARE\)' 128)" \
            run $(gpu $render) --entrypoint="$path" "$detector_image" $args
        check "detector image: the rule fails without the group, saying permission" 1 "$denied" \
            run --device=$render --entrypoint="$path" "$detector_image" $args
    }
    ;;
esac
echo "VM-STAGE-DONE $stage"
