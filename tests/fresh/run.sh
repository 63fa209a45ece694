#!/bin/sh
# The README's two commands on fresh Debian machines. For each release, a
# minimal tree (mmdebstrap --variant=important, with only make and git
# added) gets the commit under test cloned in, and in a private mount
# namespace, so that every mount goes with it:
#   as root:                               make run NODE=/dev/null, make test
#   as an ordinary user with sudo, in a second copy of the tree:
#                                          make run NODE=/dev/null
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

# verdict RELEASE STEP STATUS STARTED LOG [WHY]
verdict() {
    if [ "$3" = 0 ]; then
        echo "fresh: $1 $2: ok in $(($(date +%s) - $4)) s (log: $5)"
        passed=$((passed + 1))
    else
        echo "fresh: $1 $2: FAIL after $(($(date +%s) - $4)) s${6:+, $6}; the end of $5:"
        tail -n 25 "$5" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}

# A copy of the release's pristine tree at $2, with the commit cloned into
# $3 (a path inside the tree).
unpack() {
    rm -rf "$2" && mkdir -p "$2" && tar -xpf "$folder/$1.tar" -C "$2" &&
        cp /etc/resolv.conf "$2/etc/resolv.conf" &&
        git clone -q "$top" "$2$3" && git -C "$2$3" checkout -q --detach "$commit"
}

# inside TREE COMMAND...: runs COMMAND as root in the tree, with a clean
# environment, in a mount namespace of its own.
inside() {
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare -m --propagation private sh -c '
        tree=$1; shift
        mount --bind "$tree" "$tree" &&
        mount --bind /proc "$tree/proc" && mount --bind /sys "$tree/sys" &&
        mount --bind /dev "$tree/dev" && mount --bind /dev/shm "$tree/dev/shm" &&
        mount --bind /dev/pts "$tree/dev/pts" &&
        exec chroot "$tree" env -i HOME=/root LANG=C.UTF-8 CI=true \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"' sh "$@"
}

# last_line LOG: kalpex's last line in a log
last_line() {
    grep '^kalpex: ' "$1" | tail -n 1
}

for release in $releases; do
    log=$folder/$release-tree.log
    started=$(date +%s)
    if [ ! -s "$folder/$release.tar" ]; then
        echo "fresh: $release: building a minimal tree (about a minute)"
        mmdebstrap --variant=important --include=make,git "$release" "$folder/$release.tar.part" \
            "deb http://deb.debian.org/debian $release main" \
            "deb http://deb.debian.org/debian $release-updates main" \
            "deb http://deb.debian.org/debian-security $release-security main" >"$log" 2>&1 &&
            mv "$folder/$release.tar.part" "$folder/$release.tar"
        status=$?
        verdict "$release" "minimal tree" "$status" "$started" "$log"
        [ "$status" = 0 ] || continue
    fi

    tree=$folder/$release-root
    log=$folder/$release-root-run.log
    started=$(date +%s)
    echo "fresh: $release: make run NODE=/dev/null as root (a few minutes)"
    unpack "$release" "$tree" /root/kalpex >"$log" 2>&1 &&
        inside "$tree" sh -c 'cd /root/kalpex && make run NODE=/dev/null' >>"$log" 2>&1
    status=$?
    [ "$status" != 0 ] || [ "$(last_line "$log")" = "kalpex: PASS (SOFTWARE fallback)" ] || status=1
    verdict "$release" "make run (root)" "$status" "$started" "$log"

    log=$folder/$release-root-test.log
    started=$(date +%s)
    echo "fresh: $release: make test as root (ten minutes or more)"
    inside "$tree" sh -c 'cd /root/kalpex && make test' >"$log" 2>&1
    status=$?
    why=
    if [ "$status" = 0 ] && ! grep -q '^make test passed: every suite and tier ran' "$log"; then
        status=1 why="something did not run"
    fi
    verdict "$release" "make test (root)" "$status" "$started" "$log" "$why"
    rm -rf "$tree"

    tree=$folder/$release-user
    log=$folder/$release-user-run.log
    started=$(date +%s)
    echo "fresh: $release: make run NODE=/dev/null as a user with sudo (a few minutes)"
    unpack "$release" "$tree" /home/tester/kalpex >"$log" 2>&1 &&
        inside "$tree" sh -c 'apt-get update && apt-get install -y sudo &&
            useradd -M -d /home/tester -s /bin/sh tester && chown -R tester: /home/tester &&
            echo "tester ALL=(ALL) NOPASSWD: ALL" >/etc/sudoers.d/tester && chmod 0440 /etc/sudoers.d/tester &&
            rm -rf /var/lib/apt/lists/*' >>"$log" 2>&1 &&
        inside "$tree" runuser -u tester -- env -i HOME=/home/tester LANG=C.UTF-8 PATH=/usr/bin:/bin \
            sh -c 'cd ~/kalpex && make run NODE=/dev/null' >>"$log" 2>&1
    status=$?
    [ "$status" != 0 ] || [ "$(last_line "$log")" = "kalpex: PASS (SOFTWARE fallback)" ] || status=1
    verdict "$release" "make run (user with sudo)" "$status" "$started" "$log"
    rm -rf "$tree"
done

echo "fresh: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
