# Sourced by scripts/landscape.sh: with --prometheus, the landscape is
# watched by Debian's prometheus, as an operator would watch it, and the
# script asks Prometheus (its HTTP query API), not the hosts, whether:
#   P1. count(tarvel_server_up == 1) equals the servers of the landscape,
#       sum by (pool) of the serving servers equals each pool's configured
#       count (pool spread: one per host), and the rules of
#       contrib/prometheus are loaded;
#   P2. after the SIGKILL of one server (check 2) its
#       tarvel_server_restarts_total increased and no other server's did;
#   P3. after the SIGKILL of host3's daemon (check 3) host3's target is down
#       (up == 0), and up again (up == 1) once -start brought it back;
#   P4. a server held by -stopserver is seen as held and fires no
#       TarvelServerNotServing, not even pending, for longer than the
#       rule's minute: the operator's stop is no fault. Meanwhile every
#       server of pool spread is held too, with -stopserver on each host:
#       -check on host 1 returns 2 (its part of the pool is down), and
#       TarvelPoolDown fires for spread, and for no other pool.
# Prometheus runs in a namespace of its own on the landscape's bridge
# (10.77.0.254), with its configuration and data in the landscape's
# directory, and ends with the landscape. Every host gets a tarvelsvc.conf
# with METRICS_LISTEN=<its address>:9464; the host in no pool runs no
# service and is no target. Without --prometheus every function here does
# nothing.

PROM_ADDRESS=10.77.0.254
PROM_PORT=9090
METRICS_PORT=9464
prom_init=
prom_passed=0
prom_failed=0
prom_notes=()

prom_url() { echo "http://$PROM_ADDRESS:$PROM_PORT"; }
prom_target_of() { echo "$(addr_of "$1"):$METRICS_PORT"; }
# The helper's Prometheus commands run in Prometheus's network namespace:
# only there is 10.77.0.254 reachable.
prom_helper() { nsenter -t "$prom_init" -n perl "$helper" "$@"; }
# prom_query QUERY: the samples, "LABEL=VALUE,... VALUE" per line.
prom_query() { prom_helper prom "$(prom_url)" "$1"; }
# prom_value QUERY: the value of a query that has exactly one sample.
prom_value() {
    local out
    out=$(prom_query "$1" 2>/dev/null) || return 1
    [ -n "$out" ] && [ "$(grep -c . <<<"$out")" = 1 ] || return 1
    echo "${out##* }"
}
prom_is() { [ "$(prom_value "$1")" = "$2" ]; }    # QUERY VALUE
# prom_verdict CHECK OK [DETAIL]
prom_verdict() {
    if [ "$2" = 1 ]; then
        prom_passed=$((prom_passed + 1))
    else
        prom_failed=$((prom_failed + 1))
        failures+=("prometheus: $1${3:+: $3}")
    fi
}

prom_write_config() {    # FILE
    local i
    {
        echo "# Written by scripts/landscape.sh --prometheus."
        echo "global:"
        echo "  scrape_interval: 1s"
        echo "  scrape_timeout: 1s"
        echo "  evaluation_interval: 1s"
        echo "rule_files:"
        echo "  - $dir/prometheus/tarvelsvc.rules.yml"
        echo "scrape_configs:"
        echo "  - job_name: tarvelsvc"
        echo "    static_configs:"
        echo "      - targets:"
        for ((i = 1; i <= hosts; i++)); do echo "          - '$(prom_target_of "$i")'"; done
    } >"$1"
}

prom_rules_loaded() {
    local names
    names=$(prom_helper prom-rules "$(prom_url)" 2>/dev/null | awk '$1 == "tarvelsvc" {print $2}' | sort | tr '\n' ' ')
    [ "$names" = "TarvelMetricsStale TarvelPoolDegraded TarvelPoolDown TarvelReloadFailed TarvelServerNotServing TarvelServerRestartingOften TarvelServerThrottled TarvelServiceDown TarvelServiceTargetDown " ]
}

# Before the first -start: the hosts' settings, Prometheus's configuration,
# Prometheus itself on the bridge, ready and with the rules loaded.
prom_setup() {
    [ "$prometheus" = 1 ] || return 0
    local tool i pdir=$dir/prometheus
    for tool in prometheus promtool; do
        command -v "$tool" >/dev/null || die "$tool not found (scripts/install-deps.sh installs it)"
    done
    mkdir -p "$pdir/data"
    cp "$root/contrib/prometheus/tarvelsvc.rules.yml" "$pdir/"
    prom_write_config "$pdir/prometheus.yml"
    promtool check config "$pdir/prometheus.yml" >"$pdir/check.log" 2>&1 ||
        die "promtool refused $pdir/prometheus.yml: $(tr '\n' ' ' <"$pdir/check.log")"
    for ((i = 1; i <= all; i++)); do
        printf '[SERVICE]\nMETRICS_LISTEN=%s\n' "$(prom_target_of "$i")" >"$(inst_of "$i")/config/tarvelsvc.conf"
    done
    # It listens on every address of its namespace: eth0 comes after it.
    start_namespace prometheus --net -- 'ip link set lo up || exit 1; log=$1; shift
prometheus "$@" >>"$log" 2>&1 &
'"$REAPER" "$pdir/prometheus.log" --config.file="$pdir/prometheus.yml" \
        --storage.tsdb.path="$pdir/data" --storage.tsdb.retention.time=1d \
        --web.listen-address="0.0.0.0:$PROM_PORT"
    prom_init=$NS_PID
    nsenter -t "$bridge_init" -n ip link add vethprom type veth peer name eth0 netns "$prom_init" &&
        nsenter -t "$bridge_init" -n ip link set vethprom master br0 up &&
        nsenter -t "$prom_init" -n ip addr add "$PROM_ADDRESS/24" dev eth0 &&
        nsenter -t "$prom_init" -n ip link set eth0 up ||
        die "cannot wire Prometheus to the bridge"
    poll 60 prom_rules_loaded ||
        die "Prometheus did not come up with the rules loaded (see $pdir/prometheus.log)"
    echo "landscape: Prometheus on $(prom_url) scrapes $hosts targets every second (data in $pdir)"
}

prom_cleanup() {
    kill_namespace "$prom_init" "$(mark_of prometheus)"
}

# P1, after every host's -start.
prom_check_serving() {
    [ "$prometheus" = 1 ] || return 0
    echo
    echo "== P1. Prometheus: count(tarvel_server_up == 1) is $total"
    local t0 got
    t0=$(now_us)
    if poll 30 prom_is 'count(tarvel_server_up == 1)' "$total"; then
        echo "   $total servers serving, seen by Prometheus $(secs $(($(now_us) - t0))) s after the check began"
        prom_verdict "every server serving" 1
    else
        got=$(prom_value 'count(tarvel_server_up == 1)')
        prom_verdict "every server serving" 0 "count(tarvel_server_up == 1) is ${got:-no sample}, not $total"
    fi
    # Every pool, the hosts' own and spread: serving across the landscape
    # as many as configured, and spread's capacity is one per host.
    local sums='count(sum by (pool) (tarvel_pool_servers{state="serving"}) == sum by (pool) (tarvel_pool_configured_servers))'
    if poll 30 prom_is "$sums" "$((hosts + 1))" && prom_is 'sum(tarvel_pool_configured_servers{pool="spread"})' "$hosts"; then
        echo "   sum by (pool) of the serving servers equals the configured count in all $((hosts + 1)) pools"
        prom_verdict "pools serve as configured" 1
    else
        prom_verdict "pools serve as configured" 0 "$(prom_query 'sum by (pool) (tarvel_pool_servers{state="serving"})' | tr '\n' ';') of $(prom_query 'sum by (pool) (tarvel_pool_configured_servers)' | tr '\n' ';')"
    fi
    prom_rules_loaded && prom_verdict "rules loaded" 1 || prom_verdict "rules loaded" 0 \
        "$(prom_helper prom-rules "$(prom_url)" 2>&1 | tr '\n' ';')"
}

# P2: before the SIGKILL of check 2, and after it.
prom_restarts_before() {
    [ "$prometheus" = 1 ] || return 0
    prom_query tarvel_server_restarts_total >"$dir/prom-restarts-before" 2>&1
}
prom_check_restart() {    # HOST PORT
    [ "$prometheus" = 1 ] || return 0
    local where="address=$(addr_of "$1"),instance=$(prom_target_of "$1"),job=tarvelsvc,pool=$(pool_of "$1"),port=$2"
    local query="tarvel_server_restarts_total{address=\"$(addr_of "$1")\",port=\"$2\"}" before others
    before=$(grep -F ",$where " "$dir/prom-restarts-before" | awk '{print $2}')
    increased() { awk -v a="$(prom_value "$query")" -v b="$before" 'BEGIN {exit !(a != "" && a + 0 > b + 0)}'; }
    if [ -z "$before" ] || ! poll 15 increased; then
        prom_verdict "restarts of $(addr_of "$1"):$2" 0 "tarvel_server_restarts_total ${before:-missing} before the kill, $(prom_value "$query" || echo missing) after"
        return
    fi
    prom_query tarvel_server_restarts_total >"$dir/prom-restarts-after" 2>&1
    others=$(diff <(grep -vF ",$where " "$dir/prom-restarts-before") <(grep -vF ",$where " "$dir/prom-restarts-after"))
    echo "   Prometheus: tarvel_server_restarts_total of $(addr_of "$1"):$2 went from $before to $(prom_value "$query")"
    if [ -n "$others" ] || [ "$(grep -c . "$dir/prom-restarts-after")" != "$total" ]; then
        prom_verdict "only $(addr_of "$1"):$2 restarted" 0 "other series changed: $(tr '\n' ';' <<<"$others")"
    else
        prom_verdict "only $(addr_of "$1"):$2 restarted" 1
    fi
}

# P3: host I's target is UP (1) or down (0), within SECONDS.
prom_check_target() {    # HOST 0|1 SECONDS
    [ "$prometheus" = 1 ] || return 0
    local query="up{instance=\"$(prom_target_of "$1")\"}" t0
    t0=$(now_us)
    if poll "$3" prom_is "$query" "$2"; then
        echo "   Prometheus: $query is $2 after $(secs $(($(now_us) - t0))) s"
        prom_verdict "$query == $2" 1
    else
        prom_verdict "$query == $2" 0 "it is $(prom_value "$query" || echo 'no sample')"
    fi
}

# The servers with a TarvelServerNotServing alert, pending or firing.
prom_alerted() {
    prom_query 'ALERTS{alertname="TarvelServerNotServing"}' 2>/dev/null |
        sed -nE 's/.*,address=([^,]*),.*,port=([0-9]+)[, ].*/\1:\2/p' | tr '\n' ' '
}

# The pools with a firing TarvelPoolDown.
prom_pools_down() {
    prom_query 'ALERTS{alertname="TarvelPoolDown",alertstate="firing"}' 2>/dev/null |
        sed -nE 's/.*,pool=([^, ]*).*/\1/p' | tr '\n' ' '
}

# P4: hold one server of host 1, and pool spread on every host, past the
# rules' minute: no TarvelServerNotServing, pending or firing, for any;
# TarvelPoolDown for spread alone; -check on host 1 says CRITICAL.
prom_check_held_alert() {
    [ "$prometheus" = 1 ] || return 0
    local held="$(addr_of 1):8001" port=8001 seen i check rc
    echo
    echo "== P4. Prometheus: -stopserver $held on host1 fires no TarvelServerNotServing;"
    echo "      pool spread held on every host fires TarvelPoolDown"
    svc 1 -stopserver "$held" >"$dir/prom-stopserver" 2>&1
    for ((i = 1; i <= hosts; i++)); do
        svc "$i" -stopserver "$(addr_of "$i"):$SPREAD_PORT" >>"$dir/prom-stopserver" 2>&1
    done
    check=$(svc 1 -check 2>&1)
    rc=$?
    echo "   tarvelsvc -check on host1: $check (exit $rc)"
    if [ "$rc" = 2 ] && [[ $check == "TARVEL CRITICAL - pool spread does not serve on this host;"* ]]; then
        prom_verdict "-check on host1 is CRITICAL while its part of spread is down" 1
    else
        prom_verdict "-check on host1 is CRITICAL while its part of spread is down" 0 "exit $rc: $check"
    fi
    seen="tarvel_server_state{port=\"$port\",state=\"stopped by operator\",instance=\"$(prom_target_of 1)\"}"
    if poll 60 prom_is "$seen" 1; then
        prom_verdict "Prometheus sees the server held" 1
    else
        prom_verdict "Prometheus sees the server held" 0 "-stopserver said: $(tr '\n' ' ' <"$dir/prom-stopserver")"
    fi
    # The rules' minute and a few scrapes: TarvelPoolDown fires by then, and
    # a TarvelServerNotServing would have been pending since the start.
    local t0 alerted=''
    t0=$(now_us)
    until [ -n "$(prom_pools_down)" ] || (($(now_us) - t0 > 100000000)); do
        alerted+=$(prom_alerted)
        sleep 1
    done
    alerted+=$(prom_alerted)
    if [ -n "$alerted" ]; then
        prom_verdict "no alert for the held servers" 0 "TarvelServerNotServing for [$alerted]"
    else
        echo "   no TarvelServerNotServing for $held or pool spread after the rule's minute"
        prom_verdict "no alert for the held servers" 1
    fi
    if [ "$(prom_pools_down)" = "spread " ]; then
        echo "   TarvelPoolDown fired for pool spread $(secs $(($(now_us) - t0))) s after it was held"
        prom_verdict "TarvelPoolDown for spread" 1
    else
        prom_verdict "TarvelPoolDown for spread" 0 "firing for [$(prom_pools_down)]"
    fi
    svc 1 -startserver "$held" >"$dir/prom-startserver" 2>&1
    for ((i = 1; i <= hosts; i++)); do
        svc "$i" -startserver "$(addr_of "$i"):$SPREAD_PORT" >>"$dir/prom-startserver" 2>&1
    done
    in_host 2 perl "$helper" http 30 "$held" $(for ((i = 1; i <= hosts; i++)); do echo "$(addr_of "$i"):$SPREAD_PORT"; done) >/dev/null
}
