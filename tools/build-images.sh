#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the kalpex image and the detector's image from the checkout with
# buildah, and writes each as an OCI archive into BUILD/images, which
# `docker load` and `podman load` take. Each base comes from its registry
# where one answers; where none does, from a stand-in made from Debian's
# archive with mmdebstrap and given the real image's name, so that the
# Containerfiles build unchanged either way.
# usage: tools/build-images.sh BUILD VERSION [RELEASE]   (bookworm, the default, or trixie)
# VERSION is the project's, as the Makefile reads it from CMakeLists.txt.
# IMAGE_SOURCE, where set, is the images' source label (the address of the
# organisation's own repository).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1/images" && images=$(cd "$1/images" && pwd) || exit 1
version=$2
release=${3:-bookworm}
containerfiles=$top/contrib/container
# Without root, buildah needs subordinate ids set up for the user.
if [ "$(id -u)" != 0 ]; then
    echo "image: SKIPPED, building the images needs root here"
    exit 0
fi
log=$images/build.log
: >"$log"
# buildah keeps these images in the build folder, apart from the machine's.
buildah() {
    command buildah --root "$images/storage" --runroot "$images/run" "$@"
}
# step WHAT COMMAND...: COMMAND with its output in the log, whose end is
# shown if it fails.
step() {
    echo "image: $1"
    shift
    "$@" >>"$log" 2>&1 && return
    echo "image: FAIL; the end of $log:" >&2
    tail -n 25 "$log" >&2
    exit 1
}

# A minimal Debian tree as a base image named NAME, the tree's tarball kept
# in BUILD/images/bases for the next build. Like Debian's own images, its
# /usr is merged without the usrmerge package (and the Perl that it needs),
# and it has no manuals.
debian_standin() {  # RELEASE NAME
    mkdir -p "$images/bases" && tree=$images/bases/debian-$1.tar || return
    if [ ! -s "$tree" ]; then
        mmdebstrap --variant=minbase --format=tar --hook-dir=/usr/share/mmdebstrap/hooks/maybe-merged-usr \
            --dpkgopt="$containerfiles/dpkg-no-documentation" "$1" "$tree.part" \
            "deb http://deb.debian.org/debian $1 main" \
            "deb http://deb.debian.org/debian $1-updates main" \
            "deb http://deb.debian.org/debian-security $1-security main" && mv "$tree.part" "$tree" || return
    fi
    container=$(buildah from scratch) &&
        buildah add "$container" "$tree" / &&
        buildah config --label "kalpex.stand-in=Debian $1 from mmdebstrap" --cmd bash "$container" &&
        buildah commit --rm "$container" "$2"
}
# The detector's image as its layout goes: Debian 12, the clean-install
# helper, the detector's binary at / (here one that says it is a stand-in)
# and its folders.
detector_standin() {  # NAME
    container=$(buildah from --pull=never "$debian_12") &&
        buildah copy --chmod 755 "$container" "$top/tools/standin-bases/clean-install" /usr/local/bin/ &&
        buildah copy --chmod 755 "$container" "$top/tools/standin-bases/node-problem-detector" / &&
        files=$(buildah mount "$container") && mkdir -p "$files/config" "$files/home/kubernetes/bin" &&
        buildah config --label "kalpex.stand-in=the detector's image layout on Debian 12" \
            --entrypoint '["/node-problem-detector", "--config.system-log-monitor=/config/kernel-monitor.json"]' \
            --cmd '[]' "$container" &&
        buildah commit --rm "$container" "$1"
}
# base NAME MAKER...: the image from the local store or its registry, or
# else made by the command MAKER.
base() {
    name=$1
    shift
    buildah inspect --type image "$name" >/dev/null 2>&1 && return
    buildah pull -q "$name" >>"$log" 2>&1 && return
    step "no registry answers for $name: a stand-in from Debian's archive (once)" "$@" "$name"
}
from() {  # CONTAINERFILE RELEASE: the base it names last, for that release
    sed -n 's/^FROM \([^ ]*\)$/\1/p' "$1" | tail -n 1 | sed "s/\${RELEASE}/${2-}/"
}
# A build's steps get modest limits on open files and processes: buildah's
# own defaults differ between releases, and may be more than a process on
# this machine may raise its limits to.
build() {  # WHAT CONTAINERFILE TAG [BUILDAH BUILD OPTIONS...]
    what=$1 file=$2 tag=$3
    shift 3
    step "$what" buildah build --isolation=chroot --layers --pull=never --force-rm -f "$file" -t "$tag" \
        --ulimit nofile=4096:4096 --ulimit nproc=4096:4096 \
        --build-arg VERSION="$version" ${IMAGE_SOURCE:+--build-arg SOURCE="$IMAGE_SOURCE"} "$@" "$top"
}
# save TAG ARCHIVE: the image as an OCI archive, and its sizes.
save() {
    rm -f "$2"
    step "writing $2" buildah push -q "$1" "oci-archive:$2:$1"
    echo "image: $1: $(buildah images --format '{{.Size}}' "$1"), its archive $(du -m "$2" | cut -f1) MB"
}

kalpex_file=$containerfiles/Containerfile
detector_file=$containerfiles/node-problem-detector.Containerfile
# The detector's base is Debian 12, and so is the package it takes.
debian_12=$(from "$kalpex_file" bookworm)
base "$debian_12" debian_standin bookworm
base "$(from "$kalpex_file" "$release")" debian_standin "$release"
base "$(from "$detector_file")" detector_standin
build "the package on Debian 12" "$kalpex_file" "localhost/kalpex-package:$version" --target package \
    --build-arg RELEASE=bookworm
build "the kalpex image on Debian $release" "$kalpex_file" "localhost/kalpex:$version" --build-arg RELEASE="$release"
build "the detector's image" "$detector_file" "localhost/kalpex-node-problem-detector:$version"
save "localhost/kalpex:$version" "$images/kalpex.tar"
save "localhost/kalpex-node-problem-detector:$version" "$images/kalpex-node-problem-detector.tar"
# What earlier builds and runs left behind would fill the disk, build after
# build.
clean_up() {
    buildah rm --all && buildah rmi --prune
}
step "removing what earlier builds left" clean_up
