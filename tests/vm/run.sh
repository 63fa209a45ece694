#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the built kalpex against real kernel DRM drivers (vgem, virtio-gpu,
# bochs-display, virtio-gpu with virgl) in a small VM under software
# emulation, with Debian's kernel and the host's root mounted read-only; the
# monitor adapter on two GPUs and on a driver stuck in the kernel (a read
# from a suspended device-mapper device); and the images, run by podman.
# usage: tests/vm/run.sh BUILD_DIR [STAGE...]
#   STAGE: none vgem stuck virtio twogpu bochs systemd virgl container (default: all). Kernel and initramfs
#   are kept under BUILD_DIR/vm. Ends with "N passed, M failed, K skipped";
#   what skipped is also added to BUILD_DIR/skipped.txt. A set-up step that
#   breaks is a failure: only what cannot exist here is a skip.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
shift
wanted=" ${*:-none vgem stuck virtio twogpu bochs systemd virgl container} "
kalpex=$build/kalpex
cache=$build/vm
passed=0 failed=0 skipped=0

finish() {
    echo "$passed passed, $failed failed, $skipped skipped"
    [ "$failed" -eq 0 ]
    exit
}
skip() {
    echo "vm: SKIPPED $1" | tee -a "$build/skipped.txt"
    skipped=$((skipped + 1))
}
skip_all() {
    skip "$1"
    finish
}
setup_failed() {
    echo "vm: FAIL set-up: $1"
    failed=$((failed + 1))
    finish
}

for tool in qemu-system-x86_64 busybox cpio depmod modprobe timeout dmsetup; do
    command -v "$tool" >/dev/null || skip_all "$tool is not installed (make test-vm installs it)"
done
for program in "$kalpex" "$build/kalpex-monitor"; do
    [ -x "$program" ] || setup_failed "no $program"
done
case "$kalpex$here" in *[[:space:]]*) skip_all "paths with blanks cannot go on the kernel command line" ;; esac

# Debian's standard kernel flavour, unpacked once: the cloud flavour lacks
# the DRM and 9p modules.
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
[ -n "$kernel_package" ] || setup_failed "apt knows no linux-image-amd64 (run apt-get update)"
kernel=$cache/$kernel_package
drivers="9p 9pnet_virtio virtio_pci vgem virtio-gpu bochs dm-mod overlay"
unpacked_drivers=
for driver in $drivers; do
    [ -f "$kernel/initramfs/modules/$driver.list" ] && unpacked_drivers+=" $driver"
done
# Unpacked anew when the kernel or the drivers wanted have changed.
if [ ! -f "$kernel/vmlinuz" ] || [ "$unpacked_drivers" != " $drivers" ]; then
    echo "vm: downloading $kernel_package into $cache (once)"
    unpacked=$kernel/unpacked
    rm -rf "$cache" && mkdir -p "$unpacked" || exit 1
    (cd "$kernel" && apt-get download "$kernel_package") >"$cache/download.log" 2>&1 ||
        setup_failed "cannot download $kernel_package: $(tail -n 1 "$cache/download.log")"
    { dpkg-deb -x "$kernel"/*.deb "$unpacked" && rm "$kernel"/*.deb; } || setup_failed "cannot unpack $kernel_package"
    # Debian 12's kernel keeps its modules in lib/modules, Debian 13's in
    # usr/lib/modules: both paths lead there, whichever the host's kmod reads.
    modules=
    for dir in lib/modules usr/lib/modules; do
        [ -d "$unpacked/$dir" ] && [ ! -L "$unpacked/$dir" ] && modules=$unpacked/$dir
    done
    [ -n "$modules" ] || setup_failed "$kernel_package has no modules folder"
    mkdir -p "$unpacked/lib" "$unpacked/usr/lib"
    for dir in lib/modules usr/lib/modules; do
        [ -e "$unpacked/$dir" ] || ln -s "$modules" "$unpacked/$dir"
    done
    version=$(ls "$modules")
    depmod -b "$unpacked" "$version" || setup_failed "depmod could not index the modules of $version"
    # Each driver's modules in load order, as paths inside the initramfs.
    mkdir -p "$kernel/initramfs/modules"
    for driver in $drivers; do
        modprobe -d "$unpacked" -S "$version" --show-depends "$driver" >"$cache/depends" ||
            setup_failed "modprobe knows no $driver in $version"
        awk '$1 == "insmod" {print $2}' "$cache/depends" | while read -r module; do
            relative=${module#"$unpacked/"}
            mkdir -p "$kernel/initramfs/$(dirname "$relative")"
            cp "$module" "$kernel/initramfs/$relative" && echo "$relative"
        done >"$kernel/initramfs/modules/$driver.list"
        # A driver built into the kernel needs no file (virtio_pci in Debian 13).
        [ -s "$kernel/initramfs/modules/$driver.list" ] || grep -q '^builtin ' "$cache/depends" ||
            setup_failed "no module file for $driver"
    done
    cp "$unpacked/boot/vmlinuz-$version" "$kernel/vmlinuz" || setup_failed "no kernel image for $version"
    rm -rf "$unpacked"
fi

# The initramfs is small: made anew each run from the current init.
(
    cd "$kernel/initramfs" || exit 1
    mkdir -p bin proc sys dev
    cp "$(command -v busybox)" bin/busybox
    cp "$here/init" init && chmod +x init
    find . | cpio -o -H newc --quiet | gzip -1 >"$cache/initramfs.gz"
) || exit 1

# boot PLAN DISPLAY [QEMU DEVICE ARGUMENTS...]: one VM, judged by its output,
# given up on after $limit seconds: a hung VM ends there, and a slow host
# (the systemd stage has taken from 100 to 200 s here) is far from it.
limit=600
boot() {
    local plan=$1 display=$2 log=$cache/boot-${1//,/-}.log
    shift 2
    local started=$SECONDS
    echo "vm: booting for $plan"
    timeout "$limit" qemu-system-x86_64 -accel tcg,thread=multi -cpu max -smp 2 -m 2G -machine q35 \
        -nodefaults -display "$display" -serial stdio -no-reboot \
        -kernel "$kernel/vmlinuz" -initrd "$cache/initramfs.gz" \
        -append "console=ttyS0 quiet loglevel=1 panic=-1 systemd.show_status=false drm_kms_helper.fbdev_emulation=0 KALPEX_PLAN=$plan KALPEX_GUEST=$here/guest.sh KALPEX_BIN=$kalpex KALPEX_STAGE=$cache/stage" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
        "$@" </dev/null >"$log" 2>&1
    local status=$?
    tr -d '\r' <"$log" >"$log.txt"
    if [ "$status" -ne 0 ] && [ "$status" -ne 124 ] && ! grep -q '^VM-' "$log.txt"; then
        return 2  # qemu itself could not run this machine
    fi
    while read -r verdict rest; do
        case $verdict in
            VM-PASS) echo "ok   $rest"; passed=$((passed + 1)) ;;
            VM-FAIL) echo "FAIL $rest"; failed=$((failed + 1)) ;;
            VM-ERROR) echo "FAIL $rest"; failed=$((failed + 1)) ;;
            VM-INFO) echo "     $rest" ;;
        esac
    done < <(grep -E '^VM-(PASS|FAIL|ERROR|INFO)' "$log.txt")
    for stage in ${plan//,/ }; do
        grep -qx "VM-STAGE-DONE $stage" "$log.txt" ||
            { echo "FAIL $stage: the VM did not finish it (status $status; see $log.txt)"; failed=$((failed + 1)); }
    done
    echo "vm: $plan took $((SECONDS - started)) s"
}

plan() {  # the stages of $1 that were asked for, comma-separated
    local stage out=
    for stage in $1; do [[ $wanted == *" $stage "* ]] && out+=${out:+,}$stage; done
    echo "$out"
}

p=$(plan "none vgem stuck")
if [ -n "$p" ]; then
    boot "$p" none
    [ $? -eq 2 ] && skip_all "qemu cannot run here: $(tail -n 3 "$cache/boot-${p//,/-}.log" | tr '\n' ' ')"
fi
p=$(plan "virtio twogpu bochs")
[ -n "$p" ] && boot "$p" none -device virtio-gpu-pci -device virtio-gpu-pci -device bochs-display
p=$(plan "systemd")
if [ -n "$p" ]; then
    # The package's files as it installs them, for the guest's systemd.
    rm -rf "$cache/stage"
    DESTDIR=$cache/stage cmake --install "$build" --prefix /usr >"$cache/stage.log" 2>&1 ||
        setup_failed "cannot stage the package's files: $(tail -n 1 "$cache/stage.log")"
    boot systemd none -device virtio-gpu-pci
fi
p=$(plan "virgl")
if [ -n "$p" ]; then
    # virgl needs a GL display for qemu: SDL's offscreen driver on the host's EGL.
    SDL_VIDEODRIVER=offscreen boot virgl sdl,gl=on -device virtio-gpu-gl-pci
    if [ $? -eq 2 ]; then
        skip "virgl, qemu cannot give the VM a GL display: $(tail -n 2 "$cache/boot-virgl.log" | tr '\n' ' ')"
    fi
fi
p=$(plan "container")
if [ -n "$p" ]; then
    if [ "$(id -u)" != 0 ]; then
        skip "container, the images are built only by root"
    elif ! command -v podman >/dev/null; then
        skip "container, podman is not installed (make test-vm installs it)"
    else
        for image in kalpex kalpex-node-problem-detector; do
            [ -s "$build/images/$image.tar" ] || setup_failed "no $build/images/$image.tar (make image builds it)"
        done
        # A virgl GPU and a 2D one, renderD128 and renderD129 in that order.
        # Loading the two images alone takes over two minutes under emulation.
        limit=900 SDL_VIDEODRIVER=offscreen boot container sdl,gl=on -device virtio-gpu-gl-pci -device virtio-gpu-pci
        if [ $? -eq 2 ]; then
            skip "container, qemu cannot give the VM a GL display: $(tail -n 2 "$cache/boot-container.log" | tr '\n' ' ')"
        fi
    fi
fi
finish
