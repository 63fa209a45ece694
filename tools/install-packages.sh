#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs those of the named Debian packages that are missing, through sudo
# when not root. It says in one line what it installs; apt's and dpkg's own
# output goes to LOG, whose end is shown if a step fails.
# usage: tools/install-packages.sh LOG PACKAGE...
set -u
log=$1
shift
missing=
for package; do
    dpkg-query -W -f='${db:Status-Status}\n' "$package" 2>/dev/null | grep -qx installed ||
        missing="$missing $package"
done
[ -n "$missing" ] || exit 0

sudo=
[ "$(id -u)" = 0 ] || sudo=sudo
mkdir -p "$(dirname "$log")" && : >"$log" || exit 1
failed() {
    echo "$1 failed; the end of $log:" >&2
    tail -n 25 "$log" >&2
    exit 1
}
# env, not an assignment before sudo: sudo's env_reset would drop it, and
# debconf would then ask its questions at a terminal.
apt_get() {
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@" >>"$log" 2>&1
}

echo "updating the package lists (for:$missing)"
apt_get update || failed "apt-get update"
# shellcheck disable=SC2086 # one word a package
count=$(apt-get -s install --no-install-recommends $missing 2>>"$log" | grep -c '^Inst ')
# shellcheck disable=SC2086
echo "installing $count packages: $(echo $missing | wc -w) named and what they need (log: $log)"
# shellcheck disable=SC2086
apt_get install -y --no-install-recommends $missing || failed "apt-get install"
