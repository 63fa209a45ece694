#!/bin/sh
# SPDX-License-Identifier: MIT
# The README's two commands on fresh Debian machines. For each release, a
# minimal tree (mmdebstrap --variant=important, with only make and git
# added) gets the commit under test cloned in, and in a private mount
# namespace, so that every mount goes with it:
#   as root:                               make run NODE=/dev/null, make test
#   as an ordinary user with sudo, in a second copy of the tree:
#                                          make run NODE=/dev/null
#   and in Debian 12, as root in a third:  make test-cross ARCH=arm64
# One verdict line per release and step; each step's log stays in FOLDER.
# usage: tests/fresh/run.sh FOLDER [RELEASE...]   (default: bookworm trixie)
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
mkdir -p "$1" && folder=$(cd "$1" && pwd) || exit 1
shift
releases=${*:-bookworm trixie}
commit=$(git -C "$top" rev-parse HEAD) || exit 1
passed=0 failed=0

if [ "$(id -u)" != 0 ]; then
    echo "fresh: SKIPPED, needs root for chroot and mount namespaces"
    exit 0
fi

# step RELEASE NAME LOG CHECK COMMAND...: runs COMMAND with its output in
# LOG and prints the verdict; CHECK is a function given the log that must
# also pass, or "true".
step() {
    release=$1 name=$2 log=$3 check=$4
    shift 4
    started=$(date +%s)
    echo "fresh: $release: $name"
    if "$@" >"$log" 2>&1 && "$check" "$log"; then
        echo "fresh: $release: $name: ok in $(($(date +%s) - started)) s (log: $log)"
        passed=$((passed + 1))
    else
        echo "fresh: $release: $name: FAIL after $(($(date +%s) - started)) s; the end of $log:"
        tail -n 25 "$log" | sed 's/^/    /'
        failed=$((failed + 1))
        return 1
    fi
}

# The checks on a step's log beyond its exit status.
software_pass() {  # one for each path: GBM, EGL's devices, Vulkan
    [ "$(grep -c '^kalpex: PASS (SOFTWARE fallback)$' "$1")" -eq 3 ] ||
        { echo "(not three software passes, one a path)" >>"$1"; return 1; }
}
quiet_debconf() {  # the frontend setting reached apt-get through sudo
    software_pass "$1" || return 1
    if grep -q '^debconf: unable to initialize frontend' "$1"; then
        echo "(debconf lost its frontend setting)" >>"$1"
        return 1
    fi
}
all_ran() {
    grep -q '^make test passed: every suite and tier ran' "$1" ||
        { echo "(something did not run)" >>"$1"; return 1; }
}

# A copy of the release's pristine tree at $2, with the commit cloned into
# $3 (a path inside the tree).
unpack() {
    rm -rf "$2" && mkdir -p "$2" && tar -xpf "$folder/$1.tar" -C "$2" &&
        cp /etc/resolv.conf "$2/etc/resolv.conf" &&
        git clone -q "$top" "$2$3" && git -C "$2$3" checkout -q --detach "$commit"
}

# What the trees share, kept in FOLDER/shared: each is the same whichever
# tree makes it, and the first that needs it makes it. apt's downloaded
# packages, one folder per release; and in the root's checkout, the base
# trees of the images (40 s to make) and the wedge stage's Debian 13 tree
# with its kernel (about 580 MB, a minute to make).
shared=$folder/shared

# inside TREE COMMAND...: runs COMMAND as root in the tree, with a clean
# environment, in a mount namespace of its own; /sys with what is mounted
# under it (the cgroups that daemons in the tests look for), as on the
# machine itself.
inside() {
    mkdir -p "$shared/apt-$release" "$shared/images-bases" "$shared/vm-wedge" || return
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -m --propagation private sh -c '
        shared=$1 release=$2 tree=$3; shift 3
        mount --bind "$tree" "$tree" &&
        mount --bind /proc "$tree/proc" && mount --rbind /sys "$tree/sys" &&
        mount --bind /dev "$tree/dev" && mount --bind /dev/shm "$tree/dev/shm" &&
        mount --bind /dev/pts "$tree/dev/pts" &&
        mount --bind "$shared/apt-$release" "$tree/var/cache/apt/archives" || exit
        if [ -d "$tree/root/kalpex" ]; then
            mkdir -p "$tree/root/kalpex/build/images/bases" "$tree/root/kalpex/build/vm/wedge" &&
                mount --bind "$shared/images-bases" "$tree/root/kalpex/build/images/bases" &&
                mount --bind "$shared/vm-wedge" "$tree/root/kalpex/build/vm/wedge" || exit
        fi
        exec chroot "$tree" env -i HOME=/root LANG=C.UTF-8 CI=true \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' sh "$shared" "$release" "$@"
}

# make_as_root TREE TARGET...: make in the root's checkout in the tree.
make_as_root() {
    inside "$1" sh -c 'shift; cd /root/kalpex && make "$@"' sh "$@"
}

# The steps, each given the release and its tree.
root_run() {
    unpack "$1" "$2" /root/kalpex && make_as_root "$2" run NODE=/dev/null
}
root_test() {
    make_as_root "$2" test
}
# shellcheck disable=SC2016 # expanded by the inner shells
user_run() {
    unpack "$1" "$2" /home/tester/kalpex &&
        inside "$2" sh -c 'apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y sudo &&
            useradd -M -d /home/tester -s /bin/sh tester && chown -R tester: /home/tester &&
            echo "tester ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/tester && chmod 0440 /etc/sudoers.d/tester &&
            rm -rf /var/lib/apt/lists/*' &&
        inside "$2" runuser -u tester -- env -i HOME=/home/tester LANG=C.UTF-8 PATH=/usr/bin:/bin \
            sh -c 'cd ~/kalpex && make run NODE=/dev/null; status=$?; cat build/logs/install.log; exit $status'
}
cross_test() {
    unpack "$1" "$2" /root/kalpex && make_as_root "$2" test-cross ARCH=arm64
}

for release in $releases; do
    if [ ! -s "$folder/$release.tar" ]; then
        step "$release" "minimal tree (about a minute)" "$folder/$release-tree.log" true \
            mmdebstrap --variant=important --format=tar --include=make,git "$release" "$folder/$release.tar" \
            "deb http://deb.debian.org/debian $release main" \
            "deb http://deb.debian.org/debian $release-updates main" \
            "deb http://deb.debian.org/debian-security $release-security main" || continue
    fi
    tree=$folder/$release-root
    step "$release" "make run NODE=/dev/null as root (under a minute)" "$folder/$release-root-run.log" software_pass \
        root_run "$release" "$tree" &&
        step "$release" "make test as root (about fourteen minutes)" "$folder/$release-root-test.log" all_ran \
            root_test "$release" "$tree" &&
        echo "fresh: $release: the tree takes $(du -sm "$tree" | cut -f1) MB after both, from $(du -sm "$folder/$release.tar" | cut -f1) MB"
    rm -rf "$tree"
    tree=$folder/$release-user
    step "$release" "make run NODE=/dev/null as a user with sudo" "$folder/$release-user-run.log" quiet_debconf \
        user_run "$release" "$tree"
    rm -rf "$tree"
    [ "$release" = bookworm ] || continue
    tree=$folder/$release-arm64
    step "$release" "make test-cross ARCH=arm64 as root (about six minutes)" "$folder/$release-arm64.log" true \
        cross_test "$release" "$tree"
    rm -rf "$tree"
done

echo "fresh: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
