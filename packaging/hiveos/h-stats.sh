#!/usr/bin/env bash
# Sourced by the rig manager's agent: sets khs (the total speed in kH/s) and
# stats (JSON) from the statistics file that the miner, started by h-run.sh,
# rewrites every 10 s, today:
#   {"hashrate_hs":2.61,"accepted":14,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt",
#    "hw_errors":0,"threads":2,"thread_hs":[1.31,1.30],"pool":"pool.example.com:3358","pool_connected":true,
#    "paused":false}
# The file is read as JSON with jq (on every HiveOS rig), so the order of its
# fields, spacing and fields added by later versions change nothing; without
# jq a plain reader finds the same fields by name. hashrate_hs, accepted,
# rejected and uptime_s must be there; version and algo may be missing. A
# missing file, one older than 30 s (the miner is not running) or one that
# does not hold those fields as expected reports 0, with stats still valid
# JSON. Hardware errors (shares the miner withheld because their re-check
# disagreed; "hw_errors", absent from older miners) go to the third place of
# "ar", where the rig manager shows invalid shares, when there are any.
# Each thread's 60-second rate ("thread_hs", absent from older miners) is
# one entry of "hs", with a null bus number and the processor's temperature
# beside it; without it "hs" holds the total alone. Nothing is left behind
# but khs and stats.

# khs and stats are read by the agent that sources this file.
# shellcheck disable=SC2034
qxt_stats_read() {
    # The manifest's values stay local to this function.
    local CUSTOM_NAME CUSTOM_VERSION CUSTOM_CONFIG_FILENAME CUSTOM_LOG_BASENAME QXT_STATS_FILE QXT_REFUSAL_FILE QXT_REFUSAL_WAIT
    local dir file info mtime size now centi=0 accepted=0 rejected=0 uptime=0 hw=""
    local algo=argon2id-qxt version="" temp="" t hs bus temps
    local -a fields=() threads=()
    dir=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
    . "$dir/h-manifest.conf"
    [[ ${CUSTOM_VERSION-} =~ ^[[:alnum:]._+-]{1,32}$ ]] && version=$CUSTOM_VERSION

    file=${QXT_STATS_FILE-}
    if [[ -n $file && -f $file ]] && info=$(stat -c '%Y %s' -- "$file" 2>/dev/null); then
        read -r mtime size <<<"$info"
        printf -v now '%(%s)T' -1
        # Older than 30 s, or further in the future than that (the clock was
        # set back): the miner no longer rewrites it. A file of more than
        # 16 KiB is not the miner's (it writes about 150 bytes).
        if ((now - mtime <= 30 && mtime - now <= 30 && size <= 16384)); then
            qxt_stats_fields "$file"
            qxt_stats_check
        fi
    fi

    t=$(qxt_cpu_temp)
    [[ $t =~ ^-?[0-9]{1,4}$ ]] && temp=$t

    if ((centi == 0)); then
        khs=0
    else
        printf -v khs '%d.%05d' $((centi / 100000)) $((centi % 100000))
    fi
    ((${#threads[@]})) || printf -v threads '%d.%02d' $((centi / 100)) $((centi % 100))
    # One entry per thread: its rate, a null bus number (the speed is the
    # processor's, not a GPU's) and, when known, the processor's temperature.
    hs=$(IFS=,; echo "${threads[*]}")
    bus=${hs//[0-9.]/}
    bus=null${bus//,/,null}
    temps=""
    [[ -n $temp ]] && temps=${bus//null/$temp}
    printf -v stats '{"hs":[%s],"hs_units":"hs","temp":[%s],"fan":[],"uptime":%s,"ar":[%s,%s%s],"bus_numbers":[%s],"algo":"%s","ver":"%s"}' \
        "$hs" "$temps" "${uptime:-0}" "${accepted:-0}" "${rejected:-0}" "${hw:+,$hw}" "$bus" "$algo" "$version"
}

# Sets fields to the eight values hashrate_hs, accepted, rejected, uptime_s,
# version, algo, hw_errors and thread_hs of the file $1: numbers as their
# text, strings in double quotes, thread_hs as its numbers between commas,
# "null" (jq) or "" (plain reader) where one is missing; fields stays empty
# when the file is not one JSON object. QXT_JQ names jq (tests hide it).
qxt_stats_fields() {
    local jq=${QXT_JQ-jq} text raw re key
    fields=()
    if command -v -- "$jq" >/dev/null 2>&1; then
        mapfile -t fields < <("$jq" -r -s 'if length == 1 and (.[0] | type) == "object"
            then .[0] | ((.hashrate_hs, .accepted, .rejected, .uptime_s, .version, .algo, .hw_errors) | tojson),
                 (.thread_hs | if type == "array" then map(tojson) | join(",") else "null" end)
            else empty end' -- "$1" 2>/dev/null)
        return
    fi
    # Without jq: the members of the one object, found by name in any order.
    IFS= read -r -d '' -n 16384 text < "$1"
    raw=$text
    qxt_stats_top_level "$text" || return
    for key in hashrate_hs accepted rejected uptime_s version algo hw_errors; do
        re='(^|[{,[:space:]])"'$key'"[[:space:]]*:[[:space:]]*("([^"\\]|\\.)*"|[-+.0-9eE]+|[[:alpha:]]+)[[:space:]]*[,}]'
        if [[ $text =~ $re ]]; then fields+=("${BASH_REMATCH[2]}"); else fields+=(""); fi
    done
    # The one array read: plain numbers only (the object's own member is
    # found above, emptied; its numbers come from the text as written).
    re='"thread_hs"[[:space:]]*:[[:space:]]*\[([-+.0-9eE,[:space:]]*)\]'
    if [[ $text == *'"thread_hs"'* && $raw =~ $re ]]; then
        fields+=("${BASH_REMATCH[1]//[[:space:]]/}")
    else
        fields+=("")
    fi
}

# Replaces text with its one JSON object with the contents of nested objects
# and arrays left out ({"a":1,"b":{"c":2}} gives {"a":1,"b":{}}), so that only
# the object's own members are found; fails unless text is one object between
# blanks. Bytes, not characters (LC_ALL=C): the miner writes ASCII.
qxt_stats_top_level() {
    local LC_ALL=C s=$1 out="" c i before depth=0 in_string=0 escaped=0 closed=0
    for ((i = 0; i < ${#s}; i++)); do
        c=${s:i:1}
        if ((closed)); then
            [[ $c == [[:space:]] ]] || return 1
        elif ((in_string)); then
            ((depth == 1)) && out+=$c
            if ((escaped)); then
                escaped=0
            elif [[ $c == "\\" ]]; then
                escaped=1
            elif [[ $c == '"' ]]; then
                in_string=0
            fi
        elif ((depth == 0)); then
            [[ $c == [[:space:]] ]] && continue
            [[ $c == "{" ]] || return 1
            depth=1
            out+=$c
        else
            before=$depth
            case $c in
                '"') in_string=1 ;;
                "{" | "[") depth=$((depth + 1)) ;;
                "}" | "]") depth=$((depth - 1)) ;;
            esac
            ((before == 1 || depth == 1)) && out+=$c
            ((depth == 0)) && closed=1
        fi
    done
    ((closed)) || return 1
    text=$out
}

# Checks fields and takes them into centi (hundredths of a hash per second),
# accepted, rejected, uptime, version, algo and hw (a count, or empty when it
# is missing or 0), or leaves them all at their starting values when one of
# them is not as the miner writes it.
qxt_stats_check() {
    local hs=${fields[0]-} a=${fields[1]-} r=${fields[2]-} u=${fields[3]-} v=${fields[4]-} al=${fields[5]-} frac
    local e=${fields[6]-} list=${fields[7]-} one
    local count='^[0-9]{1,20}$' rate='^([0-9]{1,12})(\.([0-9]{1,9}))?$'
    local -a rates=()
    ((${#fields[@]} == 8)) || return
    [[ $hs =~ ^([0-9]{1,12})(\.([0-9]{1,9}))?$ ]] || return
    frac=${BASH_REMATCH[3]}00
    [[ $a =~ $count && $r =~ $count && $u =~ $count ]] || return
    [[ $e == null ]] && e=""
    [[ -z $e || $e =~ $count ]] || return
    # version and algo: absent, or a short plain word in quotes.
    [[ $v == null || $v == "" ]] && v=""
    [[ $al == null || $al == "" ]] && al=""
    if [[ -n $v ]]; then [[ $v =~ ^\"v?([[:alnum:]._+-]{1,32})\"$ ]] || return; v=${BASH_REMATCH[1]}; fi
    if [[ -n $al ]]; then [[ $al =~ ^\"([[:alnum:]._+-]{1,32})\"$ ]] || return; al=${BASH_REMATCH[1]}; fi
    # Whole numbers only: no floating point, no locale, no octal for leading
    # zeros. The counters are copied as text (they may exceed bash's
    # integers), without leading zeros.
    centi=$((10#${hs%%.*} * 100 + 10#${frac:0:2}))
    accepted=${a#"${a%%[!0]*}"}
    rejected=${r#"${r%%[!0]*}"}
    uptime=${u#"${u%%[!0]*}"}
    [[ -n $v ]] && version=$v
    [[ -n $al ]] && algo=$al
    hw=${e#"${e%%[!0]*}"}
    # Each thread's rate, two decimals; a list that is not plain rates (or
    # holds more than 1024) is left out, the total stands alone then.
    [[ $list == null ]] && list=""
    IFS=, read -r -a rates <<<"$list"
    ((${#rates[@]} <= 1024)) || return
    for one in "${rates[@]}"; do
        [[ $one =~ $rate ]] || { threads=(); return; }
        frac=${BASH_REMATCH[3]}00
        threads+=("$((10#${BASH_REMATCH[1]})).${frac:0:2}")
    done
}

# The processor's temperature in whole degrees C: HiveOS's own cpu-temp where
# the rig has it, else the hottest sensor of the CPU's hwmon chips (Intel
# coretemp, AMD k10temp or zenpower), else of the x86_pkg_temp thermal zones;
# nothing when the rig offers none. QXT_SYSFS replaces /sys (for tests).
qxt_cpu_temp() {
    local sys=${QXT_SYSFS:-/sys} h z name input value best="" found=0
    if command -v cpu-temp >/dev/null 2>&1; then
        value=$(cpu-temp 2>/dev/null)
        if [[ $value =~ ^[[:space:]]*(-?[0-9]{1,4})(\.[0-9]*)?[[:space:]]*$ ]]; then
            echo "${BASH_REMATCH[1]}"
            return
        fi
    fi
    for h in "$sys"/class/hwmon/hwmon*; do
        name=""
        [[ -r $h/name ]] && IFS= read -r name < "$h/name"
        case $name in coretemp | k10temp | zenpower) ;; *) continue ;; esac
        for input in "$h"/temp*_input; do
            value=""
            [[ -r $input ]] && IFS= read -r value < "$input"
            [[ $value =~ ^-?[0-9]{1,9}$ ]] || continue
            if ((!found || value > best)); then best=$value found=1; fi
        done
    done
    if ((!found)); then
        for z in "$sys"/class/thermal/thermal_zone*; do
            name=""
            [[ -r $z/type ]] && IFS= read -r name < "$z/type"
            value=""
            [[ $name == x86_pkg_temp && -r $z/temp ]] && IFS= read -r value < "$z/temp"
            [[ $value =~ ^-?[0-9]{1,9}$ ]] || continue
            if ((!found || value > best)); then best=$value found=1; fi
        done
    fi
    ((found)) && echo $((best / 1000))
}

qxt_stats_read
unset -f qxt_stats_read qxt_stats_fields qxt_stats_top_level qxt_stats_check qxt_cpu_temp
