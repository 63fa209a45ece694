#!/bin/sh
# SPDX-License-Identifier: MIT
# What the VM tier's wedge stage boots, prepared in FOLDER: the newest
# kernel of Debian 13's backports (Linux 6.15 and later send DRM's wedged
# uevent; Debian 12's and 13's own kernels do not), and the stage's test
# module built for it. The module is built in a Debian 13 tree with the
# kernel's headers and the compiler Debian built the kernel with (gcc-14);
# the tree, with the kernel's packages downloaded into it, is made once.
# usage: tests/vm/wedge/prepare.sh FOLDER
# Leaves FOLDER/kernel-version, FOLDER/tree/debs/*.deb (the kernel's image
# and modules) and FOLDER/kalpex_wedge.ko; else says what failed, exits 1.
set -u
here=$(cd "$(dirname "$0")" && pwd)
folder=$1
tree=$folder/tree
mirror=http://deb.debian.org/debian
fail() {
    echo "$1"
    exit 1
}

if [ ! -s "$tree/kernel-version" ]; then
    echo "vm: making the wedge stage's Debian 13 tree with the backports kernel in $tree (once, about a minute)"
    rm -rf "$tree" && mkdir -p "$folder" || exit 1
    # mmdebstrap removes apt's lists when it ends: the kernel's packages are
    # downloaded in its hook, while they are there.
    # shellcheck disable=SC2016 # expanded in the tree
    mmdebstrap --variant=apt --include=gcc-14,make,libc6-dev,linux-headers-amd64/trixie-backports \
        --customize-hook='chroot "$1" sh -ec "
            ls -d /usr/src/linux-headers-*-amd64 | sed s,.*/linux-headers-,, >/kernel-version.new
            mkdir -p /debs && cd /debs && version=\$(cat /kernel-version.new)
            apt-get download linux-binary-\$version linux-modules-\$version
            mv /kernel-version.new /kernel-version"' \
        trixie "$tree" "deb $mirror trixie main" "deb $mirror trixie-backports main" >"$folder/tree.log" 2>&1 ||
        fail "cannot make the module's build tree: $(tail -n 1 "$folder/tree.log")"
fi
version=$(cat "$tree/kernel-version")
rm -rf "$tree/build" && mkdir "$tree/build" && cp "$here/Kbuild" "$here/kalpex_wedge.c" "$tree/build/" || exit 1
# The kernel's objtool reads /proc.
# shellcheck disable=SC2016 # expanded by the inner shell
unshare -m --propagation private sh -c 'mount -t proc proc "$1/proc" && exec chroot "$1" make -C "/usr/src/linux-headers-$2" M=/build modules' \
    sh "$tree" "$version" >"$folder/module.log" 2>&1 || fail "cannot build the test module: $(tail -n 3 "$folder/module.log" | tr '\n' ' ')"
cp "$tree/build/kalpex_wedge.ko" "$folder/" && echo "$version" >"$folder/kernel-version"
