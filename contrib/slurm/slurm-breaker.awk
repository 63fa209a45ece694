# SPDX-License-Identifier: MIT
# The SLURM health check's breaker on drains: whether this node may be
# (mode=admit) or stay (mode=keep) out of service on kalpex's word, in every
# partition it is in. Reads slurmctld's node states as
#   sinfo -a -h -N -o '%N|%P|%T|%H|%E'
# (node, partition, state, when the reason was set, the reason, which may
# hold anything and so comes last), with -F '|' and the variables self (this
# node), share (25% or a node count) and mode. Prints nothing if the node
# may be out, else why not, in one line.
#
# Out on kalpex's word is out of service (drained, draining, down) with a
# reason that starts "kalpex:"; a node out for any other reason counts in
# its partition's size only. The limit is the share of each partition,
# rounded up (a small partition may still lose one node), or the count.
# Past it, the nodes out earliest keep their place (then by name), so that
# checks that drained at the same moment agree on which of them go back.
{
    partition = $2; sub(/\*$/, "", partition)
    reason = $0; for (field = 1; field <= 4; field++) sub(/^[^|]*\|/, "", reason)
    size[partition]++
    kalpex_out = $3 ~ /^(drain|down|fail)/ && reason ~ /^kalpex:/
    if ($1 == self) { mine[partition] = 1; own_time = $4; self_out = kalpex_out }
    if (kalpex_out) {
        out[partition]++; count = out[partition]
        out_node[partition, count] = $1; out_time[partition, count] = $4
    }
}
END {
    for (partition in mine) {
        limit = share ~ /%$/ ? int((size[partition] * share + 99) / 100) : share + 0
        others = out[partition] - self_out
        if (mode == "admit") {
            place = others + 1
        } else {
            place = 1
            for (i = 1; i <= out[partition]; i++) {
                before = out_time[partition, i] < own_time ||
                         (out_time[partition, i] == own_time && out_node[partition, i] < self)
                if (out_node[partition, i] != self && before) place++
            }
        }
        if (place > limit) {
            printf "not drained: %d of %d nodes of partition %s would be out, over the limit of %d (KALPEX_SLURM_MAX_DRAINED=%s)\n",
                   others + 1, size[partition], partition, limit, share
            exit
        }
    }
}
