#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes CHANGELOG.md (Keep a Changelog) as a Debian changelog, the form
# Debian's tools read from a native package (apt changelog, apt-listchanges):
# one entry per released version, each item of a section one wrapped bullet.
# usage: tools/debian-changelog.sh MAINTAINER CHANGELOG.md OUTPUT.gz
set -eu
maintainer=$1
changelog=$2
output=$3

# The date of each release in the form Debian's changelog takes.
dates=$(sed -n 's/^## \[\([^]]*\)\] - \([0-9-]*\)$/\1 \2/p' "$changelog" | while read -r version day; do
    printf '%s %s\n' "$version" "$(LC_ALL=C date -u -d "$day" '+%a, %d %b %Y %H:%M:%S +0000')"
done)

awk -v maintainer="$maintainer" -v dates="$dates" '
BEGIN {
    n = split(dates, lines, "\n")
    for (i = 1; i <= n; i++) {
        space = index(lines[i], " ")
        date[substr(lines[i], 1, space - 1)] = substr(lines[i], space + 1)
    }
}
# A bullet, its words wrapped to 78 columns: "  * " first, then 4 spaces.
function flush(    count, words, i, line) {
    if (item == "")
        return
    count = split(item, words, " ")
    line = "  *"
    for (i = 1; i <= count; i++) {
        if (length(line) + 1 + length(words[i]) > 78) {
            print line
            line = "   "
        }
        line = line " " words[i]
    }
    print line
    item = ""
}
function close_entry() {
    flush()
    if (version != "")
        printf "\n -- %s  %s\n\n", maintainer, date[version]
}
/^## \[/ {
    close_entry()
    version = substr($0, 5, index($0, "]") - 5)
    # Only released versions: an [Unreleased] section has no date yet.
    if (!(version in date)) {
        version = ""
        next
    }
    printf "kalpex (%s) unstable; urgency=medium\n\n", version
    next
}
version == "" { next }
/^### / { flush(); section = substr($0, 5); next }
/^- / { flush(); item = section ": " substr($0, 3); next }
/^  [^ ]/ && item != "" { item = item " " substr($0, 3); next }
/^$/ { flush() }
END { close_entry() }
' "$changelog" | sed -e 's/`//g' | gzip -9n >"$output"
