#!/usr/bin/env bash
# A whole landscape on this machine: HOSTS simulated hosts that share one
# ServerConfig.xml, each running one tarvelsvc daemon that must find its own
# part of the file.
#
#   scripts/landscape.sh [--keep] [--prometheus] [HOSTS [SERVERS-PER-HOST]]   (default 4 3)
#
# Every host is a set of Linux namespaces (network, UTS, mount, IPC, pid)
# with its own host name, its own /etc/hosts and /run, one address
# 10.77.0.<i>/24 on a bridge that lives in a network namespace of its own,
# and its own installation directory (own copy of tarvelsvc, config, log).
# Nothing of the landscape touches the machine's network: the addresses
# exist only inside these namespaces. TARVEL_IPLIST is not set, so each
# daemon learns its addresses from its host name, as on a real host. Each
# host has a pool of its own (ports 8001..), and one more pool, "spread",
# has one server on every host (port 9001), as a pool that the request
# routers serve from across the landscape. One more host, whose address is
# in no pool, shows what the service does there.
# HTTP goes through landscape-helper.pl (perl is needed anyway for the
# servers): one process asks hundreds of servers at once.
#
# Checks, in this order:
#   1. every host runs exactly its own servers, each answering HTTP from
#      every other host; the host in no pool runs none and says why;
#   2. SIGKILL of one server on host 2 restarts that one, only there;
#   3. SIGKILL of host 3's daemon ends host 3's servers and only those;
#      -start brings them back;
#   4. -stop on every host stops its servers gently: each server received
#      the shutdown request and ended by itself;
#   5. a ServerConfig.xml that assigns one address:port twice is refused on
#      every host with the same message, and no server starts anywhere.
# Then a table of hosts, servers, checks and times. Everything made is
# removed at the end, also after Ctrl-C; --keep leaves the landscape running
# (with the service started again) and prints how to enter a host.
# --prometheus also has Debian's prometheus scrape every host's metrics
# endpoint and checks the landscape through its query API, as described in
# scripts/landscape-prometheus.sh.
#
# Needs root (namespaces), util-linux, iproute2 and perl. Exits 77 when the
# machine does not allow namespaces. TARVEL_BIN names the tarvelsvc to use
# (default: build/tarvelsvc, built when needed); TARVEL_LANDSCAPE_DIR an
# empty directory to build the landscape in, removed at the end (default: a
# new one under /tmp).
set -uo pipefail
export LC_ALL=C

usage() {
    echo "usage: $0 [--keep] [--prometheus] [HOSTS [SERVERS-PER-HOST]]   (default 4 3; HOSTS 3..200, SERVERS 1..500)"
}

keep=0
prometheus=0
positional=()
for arg in "$@"; do
    case $arg in
        --keep) keep=1 ;;
        --prometheus) prometheus=1 ;;
        -h | --help) usage; exit 0 ;;
        -*) usage >&2; exit 2 ;;
        *) positional+=("$arg") ;;
    esac
done
hosts=${positional[0]:-4}
per_host=${positional[1]:-3}
if [ ${#positional[@]} -gt 2 ] || ! [[ $hosts =~ ^[0-9]+$ && $per_host =~ ^[0-9]+$ ]] ||
    ((10#$hosts < 3 || 10#$hosts > 200 || 10#$per_host < 1 || 10#$per_host > 500)); then
    usage >&2
    exit 2
fi
hosts=$((10#$hosts)) per_host=$((10#$per_host))
all=$((hosts + 1))    # the last host is in no pool
SPREAD_PORT=9001    # the port of pool spread on every host
total=$((hosts * (per_host + 1)))

root=$(cd "$(dirname "$0")/.." && pwd)
helper=$root/scripts/landscape-helper.pl
# shellcheck source=scripts/landscape-prometheus.sh
. "$root/scripts/landscape-prometheus.sh"

skip() {
    echo "landscape: SKIPPED: $*" >&2
    exit 77
}
die() {
    echo "landscape: $*" >&2
    exit 1
}

# ---------------------------------------------------------------- preconditions
[ "$(id -u)" = 0 ] || skip "namespaces need root (running as uid $(id -u))"
for tool in unshare nsenter mount ip perl; do
    command -v "$tool" >/dev/null || die "$tool not found (scripts/install-deps.sh installs what is missing)"
done
if ! why=$(unshare --net --uts --ipc --mount --pid --fork --mount-proc --kill-child -- \
    sh -c 'ip link add lsbr0 type bridge && ip link add lsv0 type veth peer name lsv1' 2>&1); then
    skip "this machine refuses the namespaces a landscape needs: ${why:-unshare failed}"
fi

if [ -n "${TARVEL_BIN:-}" ]; then
    bin=$TARVEL_BIN
    [ -x "$bin" ] || die "TARVEL_BIN=$bin is not an executable file"
else
    bin=$root/build/tarvelsvc
    if [ ! -f "$root/build/build.ninja" ]; then
        cmake -S "$root" -B "$root/build" -G Ninja -DTARVEL_TESTS=OFF -DTARVEL_BENCH=OFF >/dev/null ||
            die "cmake could not configure $root/build"
    fi
    cmake --build "$root/build" -j "$(nproc 2>/dev/null || echo 2)" --target tarvelsvc >/dev/null ||
        die "building tarvelsvc failed (run: cmake --build $root/build --target tarvelsvc)"
fi

# ---------------------------------------------------------------- clock, polls
now_us() { echo "${EPOCHREALTIME/./}"; }
secs() { printf '%d.%02d' $(($1 / 1000000)) $(($1 % 1000000 / 10000)); }
# took MICROSECONDS: "1.23 s", or NEVER when the step did not complete.
took() { if [ -n "$1" ]; then echo "$(secs "$1") s"; else echo NEVER; fi; }
# poll SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds (0) or
# SECONDS have passed (1).
poll() {
    local deadline=$(($(now_us) + $1 * 1000000))
    shift
    until "$@"; do
        (($(now_us) < deadline)) || return 1
        sleep 0.1
    done
}

# ---------------------------------------------------------------- the landscape
if [ -n "${TARVEL_LANDSCAPE_DIR:-}" ]; then
    dir=$TARVEL_LANDSCAPE_DIR
    mkdir -p "$dir" || die "cannot create $dir"
    [ -z "$(ls -A "$dir")" ] || die "$dir is not empty"
else
    dir=$(mktemp -d /tmp/tarvel-landscape.XXXXXX) || die "cannot create a directory under /tmp"
fi
dir=$(cd "$dir" && pwd)

declare -a INIT    # per host: the first process of its pid namespace
bridge_init=       # the same for the bridge's namespace
holders=()         # the unshare processes, children of this script

name_of() { echo "host$1"; }
addr_of() { echo "10.77.0.$1"; }
inst_of() { echo "$dir/host$1"; }
# Each namespace's first process carries this word in its command line: the
# only processes cleanup signals are the ones proven to carry it.
mark_of() { echo "tarvel-landscape:$dir:$1"; }

kill_namespace() {    # pid mark
    local pid=$1 mark=$2
    [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 0
    tr '\0' '\n' <"/proc/$pid/cmdline" | grep -qxF -- "$mark" || return 0
    # SIGKILL of a pid namespace's first process ends every process in it.
    kill -KILL "$pid" 2>/dev/null
}

cleaned=0
cleanup() {
    [ $cleaned = 1 ] && return
    cleaned=1
    local i
    for ((i = 1; i <= all; i++)); do
        kill_namespace "${INIT[i]:-}" "$(mark_of "host$i")"
    done
    kill_namespace "$bridge_init" "$(mark_of bridge)"
    prom_cleanup
    # A namespace whose first process was never found ends with its unshare
    # (--kill-child); these are children of this script, not yet reaped.
    if [ ${#holders[@]} -gt 0 ]; then
        kill -KILL "${holders[@]}" 2>/dev/null
        wait "${holders[@]}" 2>/dev/null
    fi
    rm -rf "$dir"
}
on_exit() {
    local status=$?
    if [ $keep = 1 ] && [ "${kept:-0}" = 1 ]; then
        return
    fi
    cleanup
    exit $status
}
trap on_exit EXIT
trap 'echo "landscape: interrupted, cleaning up" >&2; exit 130' INT TERM HUP

# start_namespace KEY UNSHARE-OPTIONS... -- SCRIPT ARGS...: a pid namespace
# whose first process runs bash SCRIPT; sets NS_PID to that process.
NS_PID=
find_init() { NS_PID=$(perl "$helper" init-pid "$1"); }
start_namespace() {
    local key=$1 mark opts=()
    shift
    mark=$(mark_of "$key")
    while [ "$1" != -- ]; do opts+=("$1"); shift; done
    shift
    local script=$1
    shift
    unshare "${opts[@]}" --pid --fork --kill-child -- bash -c "$script" "$mark" "$@" \
        </dev/null >>"$dir/namespaces.log" 2>&1 &
    holders+=($!)
    poll 10 find_init "$mark" || die "the namespace of $key did not come up (see $dir/namespaces.log)"
}

# The first process of every namespace reaps the orphans of its pid
# namespace (a daemon is re-parented to it), as init does on a real host.
REAPER='while :; do sleep 1 & wait $!; done'

echo "landscape: $hosts hosts x ($per_host servers + 1 of pool spread) (+1 host in no pool) in $dir"
echo "landscape: tarvelsvc is $bin"
t_setup=$(now_us)

ports_text() { if [ "$per_host" = 1 ]; then echo 8001; else echo "8001-$((8000 + per_host))"; fi; }
pool_of() { printf 'pool%03d' "$1"; }

# write_config FILE [DUPLICATE]: one ServerConfig.xml for the whole
# landscape: a pool per host, pool spread over every host, the request
# router and the cache server on host 1. With DUPLICATE, host 1's pool also
# claims 10.77.0.2:8001.
write_config() {
    local file=$1 duplicate=${2:-} i
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo "<!-- A landscape of $hosts hosts with $per_host application servers each. -->"
        echo '<config>'
        echo '  <requestrouters>'
        echo "    <requestrouter name=\"router\" host=\"$(addr_of 1)\" port=\"7000\" monitor_port=\"7010\"/>"
        echo '  </requestrouters>'
        echo '  <pools>'
        for ((i = 1; i <= hosts; i++)); do
            echo "    <pool name=\"$(pool_of "$i")\">"
            echo '      <requestrouters>'
            echo '        <requestrouter>router</requestrouter>'
            echo '      </requestrouters>'
            echo '      <appservers>'
            echo "        <appserver host=\"$(addr_of "$i")\" ports=\"$(ports_text)\"/>"
            if [ -n "$duplicate" ] && [ "$i" = 1 ]; then
                echo "        <appserver host=\"$(addr_of 2)\" ports=\"8001\"/>"
            fi
            echo '      </appservers>'
            echo '    </pool>'
        done
        echo '    <pool name="spread">'
        echo '      <requestrouters>'
        echo '        <requestrouter>router</requestrouter>'
        echo '      </requestrouters>'
        echo '      <appservers>'
        for ((i = 1; i <= hosts; i++)); do
            echo "        <appserver host=\"$(addr_of "$i")\" ports=\"$SPREAD_PORT\"/>"
        done
        echo '      </appservers>'
        echo '    </pool>'
        echo '  </pools>'
        echo '  <cacheservers>'
        echo "    <server host=\"$(addr_of 1)\" port=\"7020\"/>"
        echo '  </cacheservers>'
        echo '</config>'
    } >"$file"
}
write_config "$dir/ServerConfig.xml"
write_config "$dir/ServerConfig-duplicate.xml" duplicate

# The bridge, in a network namespace of its own.
start_namespace bridge --net -- 'ip link add br0 type bridge && ip link set br0 up || exit 1; '"$REAPER"
bridge_init=$NS_PID
poll 5 nsenter -t "$bridge_init" -n ip link show br0 >/dev/null 2>&1 || die "the bridge did not come up"

# A host's first process: its host name, its /etc/hosts, a /run of its own
# (sockets and pid files of one host never meet another's), loopback up.
HOST_INIT='echo "$1" >/proc/sys/kernel/hostname && mount --bind "$2" /etc/hosts &&
mount -t tmpfs -o mode=0755,size=16m tmpfs /run && ip link set lo up && : >"$3" || exit 1
'"$REAPER"
for ((i = 1; i <= all; i++)); do
    inst=$(inst_of "$i")
    mkdir -p "$inst/bin" "$inst/config" "$inst/log" "$inst/webroot" "$inst/perl/bin" "$inst/etc"
    cp "$bin" "$inst/bin/tarvelsvc"
    cp -R "$root/demo/cartridges" "$inst/cartridges"
    ln -s "$(command -v perl)" "$inst/perl/bin/perl"
    cp "$root/demo/config/WebInterface.conf" "$dir/ServerConfig.xml" "$inst/config/"
    {
        echo "127.0.0.1 localhost"
        echo "$(addr_of "$i") $(name_of "$i")"
        echo "# the other hosts of the landscape"
        for ((j = 1; j <= all; j++)); do
            [ "$j" = "$i" ] || echo "$(addr_of "$j") $(name_of "$j")"
        done
    } >"$inst/etc/hosts"
    cat >"$inst/tarvel.env" <<ENV
export TARVEL=$inst TARVEL_CARTRIDGES=$inst/cartridges TARVEL_PERL=$inst/perl
export TARVEL_WEBROOT=$inst/webroot TARVEL_CONFIG=$inst/config TARVEL_LOG=$inst/log
export APPSRV_LOG=$inst/log/appsrv.log PATH=$inst/bin:/usr/sbin:/usr/bin:/sbin:/bin
unset TARVEL_IPLIST
ENV
    # Its own IPC namespace, as a real host has its own kernel: the daemons'
    # PID lists (System V shared memory) never meet, whatever their keys.
    # Its own copy of the executable, at its own path, as a real installation.
    start_namespace "host$i" --net --uts --ipc --mount --mount-proc -- "$HOST_INIT" \
        "$(name_of "$i")" "$inst/etc/hosts" "$inst/ready"
    INIT[i]=$NS_PID
    nsenter -t "$bridge_init" -n ip link add "veth$i" type veth peer name eth0 netns "${INIT[i]}" &&
        nsenter -t "$bridge_init" -n ip link set "veth$i" master br0 up &&
        nsenter -t "${INIT[i]}" -n ip addr add "$(addr_of "$i")/24" dev eth0 &&
        nsenter -t "${INIT[i]}" -n ip link set eth0 up ||
        die "cannot wire $(name_of "$i") to the bridge"
done
for ((i = 1; i <= all; i++)); do
    poll 10 test -e "$(inst_of "$i")/ready" || die "$(name_of "$i") did not come up (see $dir/namespaces.log)"
done
echo "landscape: $all hosts up in $(secs $(($(now_us) - t_setup))) s"
prom_setup

# in_host I COMMAND...: runs COMMAND inside host I.
in_host() {
    local i=$1
    shift
    nsenter -t "${INIT[i]}" -a -- "$@"
}
# svc I ARGS...: tarvelsvc of host I with its installation's environment
# and without TARVEL_IPLIST.
svc() {
    local i=$1 inst
    shift
    inst=$(inst_of "$i")
    in_host "$i" env -i HOME=/root LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        TARVEL="$inst" TARVEL_CARTRIDGES="$inst/cartridges" TARVEL_PERL="$inst/perl" \
        TARVEL_WEBROOT="$inst/webroot" TARVEL_CONFIG="$inst/config" TARVEL_LOG="$inst/log" \
        APPSRV_LOG="$inst/log/appsrv.log" "$inst/bin/tarvelsvc" "$@" </dev/null
}
# kill_in_host I SIGNAL PID: kill inside host I (PID of its pid namespace).
kill_in_host() { in_host "$1" bash -c 'kill -"$1" "$2"' _ "$2" "$3"; }
# processes I FILE: the daemons and servers running on host I.
processes() { in_host "$1" perl "$helper" processes >"$2"; }
servers_of() { grep '^server ' "$1" | cut -d' ' -f2-; }    # PORT PID PPID LOCALIP
daemons_of() { grep '^daemon ' "$1" | cut -d' ' -f2; }
log_lines() {
    local file
    file=$(inst_of "$1")/log/$2
    if [ -f "$file" ]; then wc -l <"$file"; else echo 0; fi
}
# new_log I FILE FROM: the lines of a log of host I after line FROM, without
# the time stamp, host and pid.
new_log() {
    tail -n +"$(($3 + 1))" "$(inst_of "$1")/log/$2" 2>/dev/null |
        sed -E 's/^[0-9-]+ [0-9:]+ (\([^)]*\) )?\[[0-9]+\] //'
}
# targets_of I: the helper's targets of host I's servers (two words).
targets_of() { echo "$(addr_of "$1"):$(ports_text) $(addr_of "$1"):$SPREAD_PORT"; }
# expected_servers I: the PORT LOCALIP lines host I must run.
expected_servers() {
    local p
    for ((p = 8001; p <= 8000 + per_host; p++)); do echo "$p $(addr_of "$1")"; done
    echo "$SPREAD_PORT $(addr_of "$1")"
}

# ---------------------------------------------------------------- results
declare -a PASSED FAILED READY STOP ANSWERED
for ((i = 1; i <= all; i++)); do PASSED[i]=0 FAILED[i]=0; done
failures=()
# verdict I CHECK OK [DETAIL]
verdict() {
    if [ "$3" = 1 ]; then
        PASSED[$1]=$((PASSED[$1] + 1))
    else
        FAILED[$1]=$((FAILED[$1] + 1))
        failures+=("$(name_of "$1"): $2${4:+: $4}")
    fi
}
snapshot() {    # DIR: the processes of every host
    local i
    mkdir -p "$1"
    for ((i = 1; i <= all; i++)); do processes "$i" "$1/host$i"; done
}
unchanged() { cmp -s "$1/host$3" "$2/host$3"; }    # BEFORE AFTER I

# start_all OUT-DIR HOST...: -start on the hosts, at most four at a time:
# the simulated hosts share this machine's processors, and a host whose
# -start waits for its servers should not wait for all the others' too.
start_all() {
    local out=$1 i p pids=() left ended
    shift
    mkdir -p "$out"
    for i in "$@"; do
        while [ ${#pids[@]} -ge 4 ]; do
            wait -n -p ended "${pids[@]}"
            left=()
            for p in "${pids[@]}"; do [ "$p" = "$ended" ] || left+=("$p"); done
            pids=("${left[@]}")
        done
        (
            svc "$i" -start >"$out/host$i" 2>&1
            echo $? >"$out/host$i.rc"
        ) &
        pids+=($!)
    done
    wait "${pids[@]}"
}

# =============================================================== 1. start
echo
echo "== 1. one -start per host; every host runs exactly its own servers"
t0=$(now_us)
start_all "$dir/start" $(seq 1 "$all")
t_started=$(now_us)
echo "   all -start commands returned after $(secs $((t_started - t0))) s"
# Every host's servers, asked from the next host until they answer.
ready_limit=$((30 + total / 10))
pids=()
for ((i = 1; i <= hosts; i++)); do
    from=$((i % hosts + 1))
    in_host "$from" perl "$helper" http "$ready_limit" $(targets_of "$i") >"$dir/start/ready$i" &
    pids+=($!)
done
wait "${pids[@]}"
last=0
for ((i = 1; i <= hosts; i++)); do
    answered=0 want='?' at=0
    read -r _ answered _ want _ at <"$dir/start/ready$i"
    at_us=${at/./}
    ANSWERED[i]=$answered
    if [ "$answered" = "$want" ] && ((10#$at_us > 0)); then
        READY[i]=$((10#$at_us - t0))
        ((READY[i] > last)) && last=${READY[i]}
    fi
done
all_ready=1
for ((i = 1; i <= hosts; i++)); do [ -n "${READY[i]:-}" ] || all_ready=0; done
if [ $all_ready = 1 ]; then
    echo "   every server ($total) answered $(secs "$last") s after the first -start"
else
    echo "   NOT every server answered within $ready_limit s:"
    grep -h '^missing' "$dir"/start/ready* | head -20 | sed 's/^/     /'
fi
t_answered=
[ $all_ready = 1 ] && t_answered=$last
# By when the daemons had started their servers, from the log's whole
# seconds: the rest of the wait is the servers' own start-up.
last_fork=0
for ((i = 1; i <= hosts; i++)); do
    stamp=$(grep 'Process::start(): started' "$(inst_of "$i")/log/Service.log" 2>/dev/null | tail -1 | cut -c1-19)
    [ -n "$stamp" ] || continue
    at=$(date -d "$stamp" +%s) || continue
    # The line's second has ended by at + 1: an upper bound.
    (((at + 1) * 1000000 - t0 > last_fork)) && last_fork=$(((at + 1) * 1000000 - t0))
done

# The whole mesh: from every host, every server of every other host.
pids=()
for ((j = 1; j <= all; j++)); do
    targets=()
    for ((i = 1; i <= hosts; i++)); do [ "$i" = "$j" ] || targets+=($(targets_of "$i")); done
    in_host "$j" perl "$helper" http 10 "${targets[@]}" >"$dir/start/mesh$j" &
    pids+=($!)
done
wait "${pids[@]}"
mesh_asked=0
for ((j = 1; j <= all; j++)); do
    want=0
    read -r _ _ _ want _ <"$dir/start/mesh$j"
    mesh_asked=$((mesh_asked + want))
done
echo "   $mesh_asked requests: every server from every other host"

snapshot "$dir/s1"
for ((i = 1; i <= hosts; i++)); do
    daemon=$(daemons_of "$dir/s1/host$i")
    got=$(servers_of "$dir/s1/host$i" | awk '{print $1, $4}')
    parents=$(servers_of "$dir/s1/host$i" | awk '{print $3}' | sort -u)
    missed=$(grep -h "^missing $(addr_of "$i"):" "$dir"/start/mesh* | head -3 | cut -d' ' -f2- | tr '\n' ';')
    if [ "$(grep -c . <<<"$daemon")" != 1 ]; then
        verdict "$i" "own servers" 0 "$(grep -c . <<<"$daemon") daemons running"
    elif [ "$got" != "$(expected_servers "$i")" ]; then
        verdict "$i" "own servers" 0 "runs [$(tr '\n' ' ' <<<"$got")] instead of ports $(ports_text),$SPREAD_PORT on $(addr_of "$i")"
    elif [ "$parents" != "$daemon" ]; then
        verdict "$i" "own servers" 0 "servers not children of the daemon [$daemon]"
    elif [ -z "${READY[i]:-}" ] || [ -n "$missed" ]; then
        verdict "$i" "own servers" 0 "not answering: ${missed:-$(grep -h '^missing' "$dir/start/ready$i" | head -3 | tr '\n' ';')}"
    else
        verdict "$i" "own servers" 1
    fi
done

# The host in no pool: the daemon ends, saying which addresses it looked for.
spare=$all
spare_expect="main(): General exception: CAppServerManagerImpl::buildTables(): no service configured for IP's: $(addr_of "$spare") $(name_of "$spare") 127.0.0.1 localhost (status=1)"
spare_said() { new_log "$spare" Service.log 0 | grep -q 'General exception'; }
poll 20 spare_said
spare_line=$(new_log "$spare" Service.log 0 | grep 'General exception' | head -1)
spare_start=$(head -3 "$dir/start/host$spare" | tr '\n' ' ')
poll 10 eval '[ -z "$(processes "$spare" /dev/stdout)" ]'
processes "$spare" "$dir/s1/host$spare"
echo "   $(name_of "$spare") (in no pool): -start exit status $(cat "$dir/start/host$spare.rc")" \
    "${spare_start:+and output: $spare_start}"
echo "   its log says: $spare_line"
if [ "$spare_line" != "$spare_expect" ]; then
    verdict "$spare" "host in no pool" 0 "log says '${spare_line:-nothing}', expected '$spare_expect'"
elif [ -s "$dir/s1/host$spare" ]; then
    verdict "$spare" "host in no pool" 0 "still runs: $(tr '\n' ';' <"$dir/s1/host$spare")"
else
    verdict "$spare" "host in no pool" 1
fi
prom_check_serving

# =============================================================== 2. one server
echo
echo "== 2. SIGKILL of one server on host2"
before=()
for ((i = 1; i <= hosts; i++)); do before[i]=$(log_lines "$i" Service.log); done
victim=$(servers_of "$dir/s1/host2" | awk '$1 == 8001 {print $2}')
victim_parent=$(servers_of "$dir/s1/host2" | awk '$1 == 8001 {print $3}')
t_restart=
prom_restarts_before
if [ -n "$victim" ] && [ "$victim_parent" = "$(daemons_of "$dir/s1/host2")" ] &&
    kill_in_host 2 KILL "$victim"; then
    # The killed server can no longer answer: the first answer is its successor's.
    t_kill=$(now_us)
    in_host 1 perl "$helper" http 15 "$(addr_of 2):8001" >"$dir/restart.http" &&
        t_restart=$(($(now_us) - t_kill))
    echo "   $(addr_of 2):8001 (pid $victim) killed; answered again after $(took "$t_restart")"
else
    echo "   no server of the daemon on $(addr_of 2):8001 to kill"
fi
snapshot "$dir/s2"
for ((i = 1; i <= hosts; i++)); do
    starts=$(new_log "$i" Service.log "${before[i]}" | grep -c '^Process::start(): started')
    if [ "$i" = 2 ]; then
        other=$(diff <(servers_of "$dir/s1/host2" | grep -v '^8001 ') <(servers_of "$dir/s2/host2" | grep -v '^8001 '))
        new=$(servers_of "$dir/s2/host2" | awk '$1 == 8001 {print $2, $3}')
        if [ -z "$t_restart" ] || [ "$starts" != 1 ] || [ -n "$other" ] ||
            [ -z "$new" ] || [ "${new% *}" = "$victim" ] || [ "${new#* }" != "$victim_parent" ]; then
            verdict 2 "restart of one server" 0 "$starts starts; other servers changed: ${other:-no}; new server: ${new:-none}"
        else
            verdict 2 "restart of one server" 1
        fi
    elif [ "$starts" != 0 ] || ! unchanged "$dir/s1" "$dir/s2" "$i"; then
        verdict "$i" "restart stays on host2" 0 "$starts servers started here"
    else
        verdict "$i" "restart stays on host2" 1
    fi
done
prom_check_restart 2 8001

# =============================================================== 3. daemon
echo
echo "== 3. SIGKILL of host3's daemon, then -start on host3"
svc 3 -status >"$dir/status3" 2>&1
daemon3=$(daemons_of "$dir/s2/host3")
listed=$(sed -nE 's/^\[([0-9]+)\] .*/\1/p' "$dir/status3" | head -1)
old3=$(servers_of "$dir/s2/host3" | awk '{print $2}' | sort)
servers_gone() {
    processes 3 "$dir/s3.tmp"
    [ -z "$(servers_of "$dir/s3.tmp")" ]
}
t_gone='' t_back=''
if [ -n "$daemon3" ] && [ "$listed" = "$daemon3" ] && kill_in_host 3 KILL "$daemon3"; then
    t_kill=$(now_us)
    poll 15 servers_gone && t_gone=$(($(now_us) - t_kill))
    prom_check_target 3 0 15
    snapshot "$dir/s3"
    t_start3=$(now_us)
    svc 3 -start >"$dir/start3" 2>&1
    echo $? >"$dir/start3.rc"
    in_host 1 perl "$helper" http 60 $(targets_of 3) >"$dir/back3.http" &&
        t_back=$(($(now_us) - t_start3))
    prom_check_target 3 1 30
    echo "   daemon [$daemon3] killed: its servers ended after $(took "$t_gone");" \
        "-start: all answered after $(took "$t_back")"
else
    echo "   -status named [${listed:-nothing}], the servers' parent is [${daemon3:-none}]: not killed"
    snapshot "$dir/s3"
fi
snapshot "$dir/s4"
for ((i = 1; i <= hosts; i++)); do
    if [ "$i" = 3 ]; then
        new3=$(servers_of "$dir/s4/host3" | awk '{print $2}' | sort)
        daemon3b=$(daemons_of "$dir/s4/host3")
        got=$(servers_of "$dir/s4/host3" | awk '{print $1, $4}')
        if [ -z "$t_gone" ] || [ -z "$t_back" ] || [ "$got" != "$(expected_servers 3)" ] ||
            [ -n "$(comm -12 <(echo "$old3") <(echo "$new3"))" ] ||
            [ "$(servers_of "$dir/s4/host3" | awk '{print $3}' | sort -u)" != "$daemon3b" ]; then
            verdict 3 "daemon SIGKILL and -start" 0 "servers gone: ${t_gone:-no}; back: ${t_back:-no}; now [$(tr '\n' ' ' <<<"$got")]"
        else
            verdict 3 "daemon SIGKILL and -start" 1
        fi
    elif ! unchanged "$dir/s2" "$dir/s3" "$i" || ! unchanged "$dir/s2" "$dir/s4" "$i"; then
        verdict "$i" "daemon SIGKILL stays on host3" 0 "servers changed"
    else
        verdict "$i" "daemon SIGKILL stays on host3" 1
    fi
done

prom_check_held_alert

# =============================================================== 4. stop
echo
echo "== 4. -stop on every host at once"
for ((i = 1; i <= hosts; i++)); do
    before[i]=$(log_lines "$i" Service.log)
    before_app[i]=$(log_lines "$i" appsrv.log)
done
t_stop0=$(now_us)
pids=()
for ((i = 1; i <= hosts; i++)); do
    (
        svc "$i" -stop >"$dir/stop$i" 2>&1
        echo "$? $(($(now_us) - t_stop0))" >"$dir/stop$i.rc"
    ) &
    pids+=($!)
done
wait "${pids[@]}"
t_stop=$(($(now_us) - t_stop0))
echo "   every -stop returned after $(secs $t_stop) s"
for ((i = 1; i <= hosts; i++)); do
    rc='?' stop_us=''
    read -r rc stop_us <"$dir/stop$i.rc"
    STOP[i]=$stop_us
    processes "$i" "$dir/after-stop$i"
    asked=$(new_log "$i" appsrv.log "${before_app[i]}" | sed -nE 's/^([0-9.]+:[0-9]+) shutdown request received, exiting$/\1/p' | sort -t: -k2n)
    want=$(expected_servers "$i" | awk '{print $2 ":" $1}')
    said=$(new_log "$i" Service.log "${before[i]}")
    if [ "$rc" != 0 ]; then
        verdict "$i" "gentle stop" 0 "-stop exit status $rc: $(head -2 "$dir/stop$i" | tr '\n' ' ')"
    elif [ -s "$dir/after-stop$i" ]; then
        verdict "$i" "gentle stop" 0 "still running: $(tr '\n' ';' <"$dir/after-stop$i")"
    elif [ "$asked" != "$want" ]; then
        verdict "$i" "gentle stop" 0 "shutdown request logged by [$(tr '\n' ' ' <<<"$asked")]"
    elif ! grep -qx 'TARVEL service stops' <<<"$said" || grep -q 'Failed to shut down\|signal #15' <<<"$said"; then
        verdict "$i" "gentle stop" 0 "log: $(grep -v '^Process' <<<"$said" | tail -3 | tr '\n' ';')"
    else
        verdict "$i" "gentle stop" 1
    fi
done

# =============================================================== 5. duplicate
echo
echo "== 5. a ServerConfig.xml that assigns $(addr_of 2):8001 twice, on every host"
dup_expect="main(): General exception: checkUniquePorts(): Port 8001, assigned to application server '$(addr_of 2)_$(ports_text)' in pool '$(pool_of 2)', has already been assigned to another service on host $(addr_of 2)"
for ((i = 1; i <= all; i++)); do
    before[i]=$(log_lines "$i" Service.log)
    cp "$dir/ServerConfig-duplicate.xml" "$(inst_of "$i")/config/ServerConfig.xml"
done
start_all "$dir/dup" $(seq 1 "$all")
all_refused() {
    local i
    for ((i = 1; i <= all; i++)); do
        new_log "$i" Service.log "${before[i]}" | grep -q 'General exception' || return 1
    done
}
poll 20 all_refused
messages=()
for ((i = 1; i <= all; i++)); do
    messages[i]=$(new_log "$i" Service.log "${before[i]}" | grep 'General exception' | head -1)
    starts=$(new_log "$i" Service.log "${before[i]}" | grep -c '^Process::start(): started')
    poll 10 eval '[ -z "$(processes "$i" /dev/stdout)" ]'
    processes "$i" "$dir/after-dup$i"
    if [ "${messages[i]}" != "$dup_expect" ]; then
        verdict "$i" "duplicate refused" 0 "log says '${messages[i]:-nothing}'"
    elif [ "$starts" != 0 ] || [ -s "$dir/after-dup$i" ]; then
        verdict "$i" "duplicate refused" 0 "$starts servers started; running: $(tr '\n' ';' <"$dir/after-dup$i")"
    else
        verdict "$i" "duplicate refused" 1
    fi
done
echo "   -start exit statuses: $(cat "$dir"/dup/host*.rc | tr '\n' ' ')"
echo "   $(printf '%s\n' "${messages[@]}" | sort -u | grep -c .) distinct message(s) on $all hosts:"
printf '%s\n' "${messages[@]}" | sort -u | sed 's/^/     /'

# =============================================================== table
echo
printf '%-8s %-12s %8s %10s %9s %8s %7s\n' host address servers answering ready-s stop-s checks
for ((i = 1; i <= all; i++)); do
    if ((i <= hosts)); then
        n=$((per_host + 1))
        answering=${ANSWERED[i]:-0}
        ready=${READY[i]:+$(secs "${READY[i]}")}
        stop=${STOP[i]:+$(secs "${STOP[i]}")}
    else
        n="0*" answering=0 ready=- stop=-
    fi
    printf '%-8s %-12s %8s %10s %9s %8s %7s\n' "$(name_of "$i")" "$(addr_of "$i")" "$n" "$answering" \
        "${ready:-NEVER}" "${stop:-?}" "${PASSED[i]}/$((PASSED[i] + FAILED[i]))"
done
echo "* in no pool: the host's service reports it and runs no server"
echo
echo "servers                          $total on $hosts hosts (+1 host in no pool)"
# A server that answered had been started: the tighter of the two bounds.
[ -n "$t_answered" ] && ((t_answered < last_fork)) && last_fork=$t_answered
echo "every server started (log)       within $(took "$last_fork") after the first -start"
echo "every server answered            $(took "$t_answered") after the first -start"
echo "requests host to host            $mesh_asked"
echo "restart of one server (host2)    $(took "$t_restart")"
echo "daemon SIGKILL (host3)           servers ended $(took "$t_gone"), back $(took "$t_back") after -start"
echo "full stop (every host at once)   $(took "$t_stop")"
passed=0 failed=0
for ((i = 1; i <= all; i++)); do
    passed=$((passed + PASSED[i]))
    failed=$((failed + FAILED[i]))
done
if [ "$prometheus" = 1 ]; then
    for note in "${prom_notes[@]}"; do echo "$note"; done
    echo "Prometheus checks                $prom_passed passed, $prom_failed failed"
    passed=$((passed + prom_passed)) failed=$((failed + prom_failed))
fi
echo "checks                           $passed passed, $failed failed"
for f in "${failures[@]}"; do echo "  FAILED $f"; done

# =============================================================== keep
if [ $keep = 1 ]; then
    for ((i = 1; i <= all; i++)); do cp "$dir/ServerConfig.xml" "$(inst_of "$i")/config/"; done
    start_all "$dir/keep" $(seq 1 "$hosts")
    targets=()
    for ((i = 1; i <= hosts; i++)); do targets+=($(targets_of "$i")); done
    in_host "$all" perl "$helper" http "$ready_limit" "${targets[@]}" | head -5
    {
        echo '#!/usr/bin/env bash'
        echo "# Removes the landscape in $dir."
        for ((i = 1; i <= all; i++)); do
            echo "tr '\\0' '\\n' </proc/${INIT[i]}/cmdline 2>/dev/null | grep -qxF -- '$(mark_of "host$i")' && kill -KILL ${INIT[i]}"
        done
        echo "tr '\\0' '\\n' </proc/$bridge_init/cmdline 2>/dev/null | grep -qxF -- '$(mark_of bridge)' && kill -KILL $bridge_init"
        [ -n "$prom_init" ] &&
            echo "tr '\\0' '\\n' </proc/$prom_init/cmdline 2>/dev/null | grep -qxF -- '$(mark_of prometheus)' && kill -KILL $prom_init"
        echo "rm -rf '$dir'"
    } >"$dir/cleanup.sh"
    chmod +x "$dir/cleanup.sh"
    echo
    echo "The landscape keeps running (the service started again on host1..host$hosts)."
    echo "Enter a host with a shell that has its installation's environment:"
    for ((i = 1; i <= all; i++)); do
        echo "  nsenter -t ${INIT[i]} -a bash --rcfile $(inst_of "$i")/tarvel.env    # $(name_of "$i") $(addr_of "$i")"
    done
    echo "and there try: tarvelsvc -status; perl $helper http 1 $(addr_of 1):8001; tail \$TARVEL_LOG/Service.log"
    echo "Remove it all: $dir/cleanup.sh"
    kept=1
fi
[ "$failed" = 0 ]
