#!/usr/bin/env bash
# Started by the rig manager to run the miner, from the miner's own folder, with
# the arguments h-config.sh wrote, the statistics file that h-stats.sh reads,
# and its output shown and appended to $CUSTOM_LOG_BASENAME.log.
# The manager stops it with Ctrl-C (SIGINT) or SIGTERM and kills it 15 s later;
# the miner finishes the hashes in progress and exits within about 2 s.
cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" || exit 1
. ./h-manifest.conf || exit 1

log=$CUSTOM_LOG_BASENAME.log
mkdir -p "$(dirname "$log")" "$(dirname "$QXT_STATS_FILE")"

# A flight sheet that cannot work: say why, in the log the manager shows too,
# and wait before ending so that the manager's restarts stay slow.
if [[ -f $QXT_REFUSAL_FILE ]]; then
    reason=$(head -c 1000 "$QXT_REFUSAL_FILE")
    echo "korven-qxt: not started: $reason" | tee -a "$log" >&2
    sleep "${QXT_REFUSAL_WAIT:-60}" &
    trap 'kill $! 2>/dev/null; exit 1' INT TERM
    wait $!
    exit 1
fi
if [[ ! -f $CUSTOM_CONFIG_FILENAME ]]; then
    echo "korven-qxt: no $CUSTOM_CONFIG_FILENAME: apply a flight sheet first (h-config.sh writes it)" >&2
    exit 1
fi
# One argument per line, taken verbatim (nothing is expanded).
args=()
while IFS= read -r line || [[ -n $line ]]; do
    line=${line%$'\r'}
    [[ -n $line ]] && args+=("$line")
done < "$CUSTOM_CONFIG_FILENAME"

# A file left by an earlier run would report its old speed until the first
# rewrite, 10 s after the start.
rm -f "$QXT_STATS_FILE" "$QXT_STATS_FILE.tmp"

# exec: the miner takes this shell's place, so a SIGTERM sent to this process
# reaches the miner (a waiting shell would die and leave the miner running).
# tee -a appends (O_APPEND): when the manager's log rotation copies and
# truncates the file, or cuts it at 10 MB, the next line lands at the new end
# instead of leaving a hole; the rotation is the manager's alone. tee ignores
# SIGINT and SIGTERM: after Ctrl-C it still copies the miner's last lines, and
# it ends when the miner closes its output. The --stats-file given here comes
# last and so overrides one in the extra options.
exec ./korven-qxt "${args[@]}" --stats-file "$QXT_STATS_FILE" \
    > >(trap '' INT TERM; exec tee -a "$log") 2>&1
