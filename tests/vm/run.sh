#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the built kalpex against real kernel DRM drivers (vgem, virtio-gpu,
# bochs-display, virtio-gpu with virgl) in a small VM under software
# emulation, with Debian's kernel and the host's root mounted read-only; the
# monitor adapter on two GPUs and on a driver stuck in the kernel (a read
# from a suspended device-mapper device); the kernel's own report of a
# wedged GPU, on Debian 13's backports kernel; and the images, run by podman.
# usage: tests/vm/run.sh BUILD_DIR [STAGE...]
#   STAGE: none vgem stuck virtio twogpu bochs systemd slots wedge virgl container (default: all). Kernel and initramfs
#   are kept under BUILD_DIR/vm. Ends with "N passed, M failed, K skipped";
#   what skipped is also added to BUILD_DIR/skipped.txt. A set-up step that
#   breaks is a failure: only what cannot exist here is a skip.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
shift
wanted=" ${*:-none vgem stuck virtio twogpu bochs systemd slots wedge virgl container} "
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

drivers="9p 9pnet_virtio virtio_pci vgem virtio-gpu bochs dm-mod overlay"
# kernel_ready FOLDER: the kernel unpacked there has every driver wanted.
kernel_ready() {
    local driver
    [ -f "$1/vmlinuz" ] || return 1
    for driver in $drivers; do
        [ -f "$1/initramfs/modules/$driver.list" ] || return 1
    done
}
# unpack_kernel FOLDER DEB...: the kernel of the packages as FOLDER/vmlinuz,
# and each driver's modules, dependencies first and decompressed (busybox's
# insmod takes no compressed module), under FOLDER/initramfs, one path a
# line in FOLDER/initramfs/modules/DRIVER.list.
unpack_kernel() {
    local kernel=$1 unpacked=$1/unpacked modules='' dir version driver deb
    shift
    rm -rf "$kernel" && mkdir -p "$unpacked" || exit 1
    for deb; do
        dpkg-deb -x "$deb" "$unpacked" || setup_failed "cannot unpack $deb"
    done
    # Debian 12's kernel keeps its modules in lib/modules, Debian 13's in
    # usr/lib/modules: both paths lead there, whichever the host's kmod reads.
    for dir in lib/modules usr/lib/modules; do
        [ -d "$unpacked/$dir" ] && [ ! -L "$unpacked/$dir" ] && modules=$unpacked/$dir
    done
    [ -n "$modules" ] || setup_failed "$* has no modules folder"
    mkdir -p "$unpacked/lib" "$unpacked/usr/lib"
    for dir in lib/modules usr/lib/modules; do
        [ -e "$unpacked/$dir" ] || ln -s "$modules" "$unpacked/$dir"
    done
    version=$(ls "$modules")
    depmod -b "$unpacked" "$version" 2>/dev/null || setup_failed "depmod could not index the modules of $version"
    mkdir -p "$kernel/initramfs/modules"
    for driver in $drivers; do
        if ! modprobe -d "$unpacked" -S "$version" --show-depends "$driver" >"$cache/depends" 2>/dev/null; then
            # Debian's backports kernels ship no modules.builtin: a driver
            # with no module file at all is built in (virtio_pci).
            [ -z "$(find "$modules" -name "$driver.ko*" -o -name "$(echo "$driver" | tr - _).ko*" | head -n 1)" ] ||
                setup_failed "modprobe knows no $driver in $version"
            echo "builtin $driver" >"$cache/depends"
        fi
        awk '$1 == "insmod" {print $2}' "$cache/depends" | while read -r module; do
            relative=${module#"$unpacked/"}
            mkdir -p "$kernel/initramfs/$(dirname "$relative")"
            cp "$module" "$kernel/initramfs/$relative" || continue
            case $relative in
                *.xz) xz -d -f "$kernel/initramfs/$relative" && relative=${relative%.xz} ;;
                *.zst) zstd -d -q --rm -f "$kernel/initramfs/$relative" && relative=${relative%.zst} ;;
            esac
            echo "$relative"
        done >"$kernel/initramfs/modules/$driver.list"
        # A driver built into the kernel needs no file (virtio_pci in Debian 13).
        [ -s "$kernel/initramfs/modules/$driver.list" ] || grep -q '^builtin ' "$cache/depends" ||
            setup_failed "no module file for $driver"
    done
    # The image is in /boot, or in Debian's newer packages beside the modules.
    cp "$unpacked/boot/vmlinuz-$version" "$kernel/vmlinuz" 2>/dev/null || cp "$modules/$version/vmlinuz" "$kernel/vmlinuz" ||
        setup_failed "no kernel image for $version"
    rm -rf "$unpacked"
}

# Debian's standard kernel flavour of the release, unpacked once: the cloud
# flavour lacks the DRM and 9p modules.
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
[ -n "$kernel_package" ] || setup_failed "apt knows no linux-image-amd64 (run apt-get update)"
kernel=$cache/$kernel_package
if ! kernel_ready "$kernel"; then
    echo "vm: downloading $kernel_package into $cache (once)"
    rm -rf "$cache"/linux-image-* "$cache/download" && mkdir -p "$cache/download" || exit 1
    (cd "$cache/download" && apt-get download "$kernel_package") >"$cache/download.log" 2>&1 ||
        setup_failed "cannot download $kernel_package: $(tail -n 1 "$cache/download.log")"
    unpack_kernel "$kernel" "$cache"/download/*.deb
    rm -rf "$cache/download"
fi

# initramfs KERNEL_FOLDER FILE: a small one, made anew each run from the
# current init and the kernel's modules.
initramfs() {
    (
        cd "$1/initramfs" || exit 1
        mkdir -p bin proc sys dev
        cp "$(command -v busybox)" bin/busybox
        cp "$here/init" init && chmod +x init
        find . | cpio -o -H newc --quiet | gzip -1 >"$2"
    ) || exit 1
}
initramfs "$kernel" "$cache/initramfs.gz"

# boot PLAN DISPLAY [QEMU DEVICE ARGUMENTS...]: one VM, judged by its output,
# given up on after $limit seconds: a hung VM ends there, and a slow host
# (the systemd stage has taken from 100 to 200 s here) is far from it.
limit=600
boot() {
    local plan=$1 display=$2 log=$cache/boot-${1//,/-}.log
    shift 2
    local started=$SECONDS
    echo "vm: booting for $plan"
    local attempt status
    for attempt in 1 2; do
        timeout "$limit" qemu-system-x86_64 -accel tcg,thread=multi -cpu max -smp 2 -m 2G -machine q35 \
            -nodefaults -display "$display" -serial stdio -no-reboot \
            -kernel "${vmlinuz:-$kernel/vmlinuz}" -initrd "${initrd:-$cache/initramfs.gz}" \
            -append "console=ttyS0 quiet loglevel=1 panic=-1 systemd.show_status=false drm_kms_helper.fbdev_emulation=0 ${append:-}KALPEX_PLAN=$plan KALPEX_GUEST=$here/guest.sh KALPEX_BIN=$kalpex KALPEX_STAGE=$cache/stage" \
            -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
            "$@" </dev/null >"$log" 2>&1
        status=$?
        tr -d '\r' <"$log" >"$log.txt"
        # Under qemu's multi-threaded emulation the guest's kernel can die
        # as it boots, before any case has run (seen once in a dozen boots
        # of Linux 7.3: an int3 oops as it patched its own code; one vCPU
        # is too slow for the cases' bounds). Such a boot is made once more,
        # and said; a second death fails the stage.
        if [ "$attempt" = 1 ] && ! grep -q '^VM-' "$log.txt" && grep -q 'Kernel panic' "$log.txt"; then
            echo "vm: the guest's kernel died as it booted ($(grep -a -m 1 -o -E '(Oops|BUG)[^[]*' "$log.txt" | sed 's/ *$//')): booting once more"
            continue
        fi
        break
    done
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
# The package's files as it installs them, for the guest's systemd.
stage_package() {
    rm -rf "$cache/stage"
    DESTDIR=$cache/stage cmake --install "$build" --prefix /usr >"$cache/stage.log" 2>&1 ||
        setup_failed "cannot stage the package's files: $(tail -n 1 "$cache/stage.log")"
}
p=$(plan "systemd")
if [ -n "$p" ]; then
    stage_package
    boot systemd none -device virtio-gpu-pci
fi
p=$(plan "slots")
if [ -n "$p" ]; then
    stage_package
    # A virtio-gpu behind a PCIe root port, and a bochs-display that its
    # driver is kept from: a display device with no driver.
    append="module_blacklist=bochs " boot slots none \
        -device pcie-root-port,id=port1,bus=pcie.0,chassis=1,x-speed=16,x-width=16 -device virtio-gpu-pci,bus=port1 \
        -device bochs-display
fi
p=$(plan "wedge")
if [ -n "$p" ]; then
    if [ "$(id -u)" != 0 ]; then
        skip "wedge, its kernel's test module is built in a Debian 13 tree, which only root can make"
    elif ! command -v mmdebstrap >/dev/null; then
        skip "wedge, mmdebstrap is not installed (make test-vm installs it)"
    else
        # Debian 13's backports kernel, which sends DRM's wedged event, with
        # the stage's test module among its drivers.
        wedge=$cache/wedge
        "$here/wedge/prepare.sh" "$wedge" || setup_failed "wedge: its kernel and test module could not be prepared"
        wedge_kernel=$wedge/$(cat "$wedge/kernel-version")
        kernel_ready "$wedge_kernel" || unpack_kernel "$wedge_kernel" "$wedge"/tree/debs/*.deb
        { mkdir -p "$wedge_kernel/initramfs/extra" && cp "$wedge/kalpex_wedge.ko" "$wedge_kernel/initramfs/extra/" &&
            echo extra/kalpex_wedge.ko >"$wedge_kernel/initramfs/modules/kalpex_wedge.list"; } || exit 1
        initramfs "$wedge_kernel" "$wedge/initramfs.gz"
        stage_package
        # virtio-gpu is renderD128, vgem renderD129.
        vmlinuz=$wedge_kernel/vmlinuz initrd=$wedge/initramfs.gz boot wedge none -device virtio-gpu-pci
    fi
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
