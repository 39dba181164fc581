#!/usr/bin/env bash
# Sourced by the rig manager's agent: sets khs (the total speed in kH/s) and
# stats (JSON) from the statistics file that the miner, started by h-run.sh,
# rewrites every 10 s:
#   {"hashrate_hs":2.61,"accepted":14,"rejected":0,"uptime_s":3610,"version":"v1.0.2","algo":"argon2id-qxt","hw_errors":0}
# (without "hw_errors" from miners before it). Hardware errors, shares the
# miner withheld because their re-check disagreed, go to the third place of
# "ar", where the rig manager shows invalid shares, when there are any.
# A missing file, one older than 30 s (the miner is not running) or one that
# does not hold that line reports 0, with stats still valid JSON. Only bash and
# coreutils are used, and nothing is left behind but khs and stats.

# khs and stats are read by the agent that sources this file.
# shellcheck disable=SC2034
qxt_stats_read() {
    # The manifest's values stay local to this function.
    local CUSTOM_NAME CUSTOM_VERSION CUSTOM_CONFIG_FILENAME CUSTOM_LOG_BASENAME QXT_STATS_FILE
    local dir file mtime now line frac centi=0 accepted=0 rejected=0 uptime=0 hw=""
    local algo=argon2id-qxt version="" temp="" t
    dir=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
    . "$dir/h-manifest.conf"
    [[ ${CUSTOM_VERSION-} =~ ^[[:alnum:]._+-]{1,32}$ ]] && version=$CUSTOM_VERSION

    file=${QXT_STATS_FILE-}
    if [[ -n $file && -f $file ]] && mtime=$(stat -c %Y -- "$file" 2>/dev/null); then
        printf -v now '%(%s)T' -1
        # Older than 30 s, or further in the future than that (the clock was
        # set back): the miner no longer rewrites it.
        if ((now - mtime <= 30 && mtime - now <= 30)); then
            IFS= read -r -n 512 line < "$file" 2>/dev/null
            local re='^\{"hashrate_hs":([0-9]{1,12})(\.([0-9]{1,9}))?,"accepted":([0-9]{1,20}),"rejected":([0-9]{1,20}),'
            re+='"uptime_s":([0-9]{1,20}),"version":"v?([[:alnum:]._+-]{1,32})","algo":"([[:alnum:]._+-]{1,32})"'
            re+='(,"hw_errors":([0-9]{1,20}))?\}[[:space:]]*$'
            if [[ $line =~ $re ]]; then
                # Hundredths of a hash per second, as whole numbers: no
                # floating point, no locale, no octal for leading zeros.
                frac=${BASH_REMATCH[3]}00
                centi=$((10#${BASH_REMATCH[1]} * 100 + 10#${frac:0:2}))
                # The counters are copied as text (they may exceed bash's
                # integers), without leading zeros.
                accepted=${BASH_REMATCH[4]}
                rejected=${BASH_REMATCH[5]}
                uptime=${BASH_REMATCH[6]}
                accepted=${accepted#"${accepted%%[!0]*}"}
                rejected=${rejected#"${rejected%%[!0]*}"}
                uptime=${uptime#"${uptime%%[!0]*}"}
                version=${BASH_REMATCH[7]}
                algo=${BASH_REMATCH[8]}
                hw=${BASH_REMATCH[10]}
                hw=${hw#"${hw%%[!0]*}"}
            fi
        fi
    fi

    t=$(qxt_cpu_temp)
    [[ $t =~ ^-?[0-9]{1,4}$ ]] && temp=$t

    if ((centi == 0)); then
        khs=0
    else
        printf -v khs '%d.%05d' $((centi / 100000)) $((centi % 100000))
    fi
    printf -v stats '{"hs":[%d.%02d],"hs_units":"hs","temp":[%s],"fan":[],"uptime":%s,"ar":[%s,%s%s],"algo":"%s","ver":"%s"}' \
        $((centi / 100)) $((centi % 100)) "$temp" "${uptime:-0}" "${accepted:-0}" "${rejected:-0}" "${hw:+,$hw}" \
        "$algo" "$version"
}

# The processor's temperature in whole degrees C, the hottest sensor of the
# CPU's hwmon chips (Intel coretemp, AMD k10temp or zenpower), else of the
# x86_pkg_temp thermal zones; nothing when the rig offers neither.
# QXT_SYSFS replaces /sys (for tests).
qxt_cpu_temp() {
    local sys=${QXT_SYSFS:-/sys} h z name input value best="" found=0
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
unset -f qxt_stats_read qxt_cpu_temp
