#!/usr/bin/env bash
# Sourced by the rig manager when a flight sheet is applied, with:
#   CUSTOM_URL          the pools, each host:port or a URL (stratum+tcp://,
#                       stratum+ssl://, ...), separated by blanks or lines:
#                       the first is the pool, the others its backup pools
#   CUSTOM_TEMPLATE     the payout address, or address.worker
#   CUSTOM_USER_CONFIG  extra miner options, e.g. "-t 6 --skip 600 --side 4096"
#                       or "--tls-fingerprint <SHA-256>" for a pool's own certificate
#   WORKER_NAME         the rig's name, the worker name when the template has none
# Writes the miner's arguments to $CUSTOM_CONFIG_FILENAME, one per line, for
# h-run.sh. No value is ever evaluated by a shell: each becomes one argument
# verbatim, so a flight sheet cannot run commands on the rig. The extra options
# are split at blanks; '...' and "..." quote, a backslash escapes one character.
# A flight sheet that cannot work (no wallet; a pool URL of a scheme the miner
# does not know; arguments the miner's own --dry-run refuses: an unknown or bad
# extra option, a settings file or processor it cannot use) writes no arguments
# but its reason to $QXT_REFUSAL_FILE, which h-run.sh shows instead of starting
# the miner, and says so on the dashboard (HiveOS's `message error`, when the
# rig has it) and on standard error.

# Splits $1 into QXT_WORDS without any expansion (no globbing, no $, no `).
qxt_split_words() {
    local s=$1 word="" quote="" c i have=0
    QXT_WORDS=()
    for ((i = 0; i < ${#s}; i++)); do
        c=${s:i:1}
        if [[ $quote == "'" ]]; then
            if [[ $c == "'" ]]; then quote=""; else word+=$c; fi
        elif [[ $quote == '"' ]]; then
            if [[ $c == '"' ]]; then
                quote=""
            elif [[ $c == "\\" && ( ${s:i+1:1} == '"' || ${s:i+1:1} == "\\" ) ]]; then
                word+=${s:i+1:1}
                i=$((i + 1))
            else
                word+=$c
            fi
        elif [[ $c == [[:space:]] ]]; then
            if ((have)); then QXT_WORDS+=("$word"); fi
            word=""
            have=0
        elif [[ $c == "'" || $c == '"' ]]; then
            quote=$c
            have=1
        elif [[ $c == "\\" ]]; then
            word+=${s:i+1:1}
            i=$((i + 1))
            have=1
        else
            word+=$c
            have=1
        fi
    done
    if ((have)); then QXT_WORDS+=("$word"); fi
    # One argument per line in the file: a line end inside quotes becomes a blank.
    for i in "${!QXT_WORDS[@]}"; do
        QXT_WORDS[i]=${QXT_WORDS[i]//[$'\r\n']/ }
    done
}

# Why the flight sheet cannot work: a pool URL of a scheme the miner does not
# know, or no wallet; nothing when it can. $2... are the pool URLs.
qxt_config_refusal() {
    local address=$1 url scheme
    shift
    for url in "$@"; do
        [[ $url == *://* ]] || continue
        scheme=${url%%://*}
        case ${scheme,,} in
            stratum+tcp | tcp | stratum+ssl | stratum+tls | stratum+tcps | ssl | tls) ;;
            *)
                echo "the pool URL ${url} has a scheme korven-qxt does not know: use host:port, stratum+tcp:// or stratum+ssl://"
                return
                ;;
        esac
    done
    [[ -z $address ]] && echo "the flight sheet gives no payout address (wallet and worker template, e.g. %WAL%.%WORKER_NAME%)"
}

# The miner's verdict on its arguments ($2...): nothing when it would start,
# else its last line. The miner $1 runs with --dry-run: it starts nothing.
qxt_dry_run() {
    local miner=$1 out line last="" status
    shift
    [[ -x $miner ]] || return 0
    out=$("$miner" "$@" --no-color --dry-run 2>&1 < /dev/null)
    status=$?
    ((status == 0)) && return 0
    while IFS= read -r line; do
        line=${line#"${line%%[![:space:]]*}"}
        [[ -n $line ]] && last=$line
    done <<< "$out"
    echo "the miner refuses the flight sheet (status $status): ${last:-no message}"
}

qxt_config_write() {
    local dir url address worker template refusal
    local -a args=() pools=()
    dir=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
    . "$dir/h-manifest.conf" || return 1

    qxt_split_words "${CUSTOM_URL-}"
    for url in "${QXT_WORDS[@]}"; do
        [[ -n $url ]] && pools+=("$url")
    done

    qxt_split_words "${CUSTOM_TEMPLATE-}"
    template=${QXT_WORDS[0]-}
    address=${template%%.*}
    worker=""
    [[ $template == *.* ]] && worker=${template#*.}
    [[ -z $worker ]] && worker=${WORKER_NAME-}
    worker=${worker//[$'\r\n']/}

    # The miner reads every URL form itself (TLS ones included).
    for url in "${pools[@]}"; do
        if ((${#args[@]} == 0)); then args+=(-o "$url"); else args+=(--backup-pool "$url"); fi
    done
    args+=(-u "$address")
    [[ -n $worker ]] && args+=(-w "$worker")
    qxt_split_words "${CUSTOM_USER_CONFIG-}"
    local w
    for w in "${QXT_WORDS[@]}"; do
        [[ -n $w ]] && args+=("$w")
    done

    mkdir -p "$(dirname "$CUSTOM_CONFIG_FILENAME")" "$(dirname "$QXT_REFUSAL_FILE")" || return 1
    refusal=$(qxt_config_refusal "$address" "${pools[@]}")
    [[ -z $refusal ]] && refusal=$(qxt_dry_run "$dir/korven-qxt" "${args[@]}")
    if [[ -n $refusal ]]; then
        rm -f "$CUSTOM_CONFIG_FILENAME"
        printf '%s\n' "$refusal" > "$QXT_REFUSAL_FILE" || return 1
        echo "korven-qxt: $refusal" >&2
        if command -v message >/dev/null 2>&1; then
            message error "korven-qxt: $refusal" >/dev/null 2>&1
        fi
        return 0
    fi
    rm -f "$QXT_REFUSAL_FILE"

    if ((${#args[@]})); then
        printf '%s\n' "${args[@]}" > "$CUSTOM_CONFIG_FILENAME" || return 1
    else
        : > "$CUSTOM_CONFIG_FILENAME" || return 1
    fi
    printf 'korven-qxt arguments:'
    ((${#args[@]})) && printf ' %q' "${args[@]}"
    printf '\n'
}

# Leaves nothing behind in the manager's shell but the manifest's variables.
qxt_config_gen() {
    local status
    qxt_config_write
    status=$?
    unset -f qxt_split_words qxt_config_refusal qxt_dry_run qxt_config_write qxt_config_gen
    unset QXT_WORDS
    return $status
}

qxt_config_gen
