#!/usr/bin/env bash
# Installs the build into a scratch tree and checks what lands there:
#   - every file in its place, the demo without logs and with an absolute
#     perl link, the units naming the installed executable, the service's
#     sandbox rated 5.0 or better by systemd-analyze security, also with the
#     example drop-in for JIT runtimes;
#   - the node-exporter path: the metrics timer and its job verify, the job
#     writes tarvel_service_up 0 and no server when no service runs, and the
#     installed alerting rules pass promtool's check and their tests;
#   - the man page renders without a single warning and documents every
#     switch, as does the completion; man page, changelog and build agree on
#     the version;
#   - the completion completes switches, and servers from -servers;
#   - the logrotate snippet parses, and a real rotation moves Service.log
#     but copies and truncates the files whose writers keep them open.
# Tools that are missing (groff, man, bash-completion, logrotate) skip only
# their own checks.
# usage: install_test.sh SOURCE_DIR BUILD_DIR VERSION
set -uo pipefail
src=$1 build=$2 version=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "skipped: $*"; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dest=$tmp/root

if ! DESTDIR=$dest cmake --install "$build" --prefix /usr >"$tmp/install.out" 2>&1; then
  cat "$tmp/install.out"
  fail "cmake --install"
  exit 1
fi

# --- the tree
for f in usr/sbin/tarvelsvc usr/share/man/man8/tarvelsvc.8 \
         usr/lib/systemd/system/tarvelsvc.service \
         usr/lib/systemd/system/tarvelsvc-metrics.service \
         usr/lib/systemd/system/tarvelsvc-metrics.timer \
         usr/share/tarvelsvc/prometheus/tarvelsvc.rules.yml \
         usr/share/tarvelsvc/prometheus/tarvelsvc.rules.test.yml \
         usr/share/doc/tarvelsvc/examples/tarvelsvc-jit.conf \
         usr/share/bash-completion/completions/tarvelsvc etc/logrotate.d/tarvelsvc \
         usr/share/tarvelsvc/demo/README.md \
         usr/share/tarvelsvc/demo/config/ServerConfig.xml \
         usr/share/tarvelsvc/demo/config/WebInterface.conf; do
  [ -f "$dest/$f" ] || fail "not installed: /$f"
done
[ -x "$dest/usr/sbin/tarvelsvc" ] || fail "tarvelsvc is not executable"
[ -x "$dest/usr/share/tarvelsvc/demo/cartridges/DE_TARVEL/WebInterface/Scripts/appsrv.pl" ] ||
  fail "the demo server script is not executable"
[ -L "$dest/usr/share/tarvelsvc/demo/perl/bin/perl" ] || fail "the demo's perl link is missing"
[ -d "$dest/usr/share/tarvelsvc/demo/log" ] || fail "the demo's log directory is missing"
# The demo is copied before use, to any depth: its perl must still be found.
perl_link=$(readlink "$dest/usr/share/tarvelsvc/demo/perl/bin/perl")
case $perl_link in
  /*) ;;
  *) fail "the demo's perl link is relative ($perl_link): it dangles in a copy elsewhere" ;;
esac
mkdir -p "$tmp/copy/one/two"
cp -a "$dest/usr/share/tarvelsvc/demo" "$tmp/copy/one/two/demo"
[ -x "$tmp/copy/one/two/demo/perl/bin/perl" ] || fail "the copied demo's perl link dangles"
leftovers=$(find "$dest/usr/share/tarvelsvc/demo" \( -name '*.log' -o -name '.git*' -o -name run \))
[ -z "$leftovers" ] || fail "the demo carries files it must not: $leftovers"

unit=$dest/usr/lib/systemd/system/tarvelsvc.service
grep -q '^ExecStart=[-@:+!]*/usr/sbin/tarvelsvc -console' "$unit" ||
  fail "the unit does not start /usr/sbin/tarvelsvc: $(grep '^ExecStart' "$unit")"
if grep '^Exec' "$unit" | grep -v '/usr/sbin/tarvelsvc' | grep -q tarvelsvc; then
  fail "the unit still names another tarvelsvc: $(grep '^Exec' "$unit")"
fi
grep -q '^Documentation=man:tarvelsvc(8)' "$unit" || fail "the unit does not point to the man page"
# The unit's sandbox: systemd rates its exposure 5.0 or better (the scale of
# --threshold is ten times finer).
if command -v systemd-analyze >/dev/null &&
   systemd-analyze security --offline=yes --threshold=100 "$unit" >/dev/null 2>&1; then
  # The drop-in for JIT runtimes lifts one setting: the rating holds.
  mkdir -p "$tmp/jit"
  sed 's/^MemoryDenyWriteExecute=yes$/MemoryDenyWriteExecute=no/' "$unit" >"$tmp/jit/tarvelsvc.service"
  for u in "$src/contrib/tarvelsvc.service" "$unit" "$tmp/jit/tarvelsvc.service"; do
    out=$(systemd-analyze security --offline=yes --threshold=50 "$u" 2>&1) ||
      fail "systemd-analyze security rates $u above 5.0: $(tail -1 <<<"$out")"
  done
else
  skip "systemd-analyze security --offline"
fi
grep -q '^MemoryDenyWriteExecute=no$' "$dest/usr/share/doc/tarvelsvc/examples/tarvelsvc-jit.conf" ||
  fail "the JIT drop-in does not lift MemoryDenyWriteExecute="
grep -q 'tarvelsvc-jit.conf' "$unit" || fail "the unit does not point to the JIT drop-in"

# --- the node-exporter path
metrics=$dest/usr/lib/systemd/system/tarvelsvc-metrics.service
grep -q '^ExecStart=.* /usr/sbin/tarvelsvc -metrics ' "$metrics" ||
  fail "the metrics job does not run /usr/sbin/tarvelsvc: $(grep '^ExecStart' "$metrics")"
if grep -v '^#' "$metrics" | grep -v '/usr/sbin/tarvelsvc -metrics' | grep -q '/tarvelsvc '; then
  fail "the metrics job names another tarvelsvc"
fi
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify --man=no "$dest/usr/lib/systemd/system/tarvelsvc-metrics.timer" "$metrics" 2>&1) ||
    fail "systemd-analyze verify of the metrics timer and job: $out"
fi
# The job's command as systemd runs it, with the installed binary and no
# service: the file it leaves says that none runs.
job=$(sed -n "s/^ExecStart=\/bin\/sh -c '\(.*\)'\$/\1/p" "$metrics" | sed 's/\$\$/$/g')
job=${job//\/usr\/sbin\/tarvelsvc/$dest/usr/sbin/tarvelsvc}
mkdir -p "$tmp/textfile" "$tmp/nothing/run"
echo 'tarvel_server_up{address="a",port="1"} 1' >"$tmp/textfile/tarvelsvc.prom"
TEXTFILE_DIR=$tmp/textfile TARVEL=$tmp/nothing TARVEL_LOG=$tmp/nothing sh -c "$job" 2>"$tmp/job.err" ||
  fail "the metrics job failed without a service: $(cat "$tmp/job.err")"
grep -qx 'tarvel_service_up 0' "$tmp/textfile/tarvelsvc.prom" ||
  fail "without a service the metrics file does not say so: $(cat "$tmp/textfile/tarvelsvc.prom")"
if grep -q '^tarvel_server_' "$tmp/textfile/tarvelsvc.prom"; then
  fail "without a service the metrics file keeps the servers of the last run"
fi
if command -v promtool >/dev/null; then
  out=$(promtool check rules "$dest/usr/share/tarvelsvc/prometheus/tarvelsvc.rules.yml" 2>&1) ||
    fail "promtool check rules on the installed rules: $out"
  out=$(cd "$dest/usr/share/tarvelsvc/prometheus" && promtool test rules tarvelsvc.rules.test.yml 2>&1) ||
    fail "promtool test rules on the installed rules: $out"
else
  skip "promtool"
fi

# --- version and switches documented everywhere
man=$src/doc/tarvelsvc.8
completion=$src/contrib/tarvelsvc.bash-completion
grep -q "^\.TH TARVELSVC 8 .*\"tarvelsvc $version\"" "$man" || fail "the man page is not of version $version"
head -1 "$src/debian/changelog" | grep -q "^tarvelsvc ($version)" ||
  fail "debian/changelog does not start with version $version"
for s in -console -start -stop -restart -runservice -status -servers -json -stopserver \
         -startserver -restartserver -reload -metrics -check -version -install -remove \
         -iplist -i -log -l -debug -d -debuglog; do
  grep -q -- "\\\\${s}\\b" "$man" || fail "the man page does not document $s"
  grep -qw -- "$s" "$completion" || fail "the completion does not offer $s"
done

# --- rendering
if command -v groff >/dev/null; then
  out=$(groff -ww -z -man "$man" 2>&1) || fail "groff failed"
  [ -z "$out" ] || fail "groff warns: $out"
else
  skip "groff"
fi
if command -v man >/dev/null; then
  out=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man" 2>&1 >/dev/null) || fail "man -l failed"
  [ -z "$out" ] || fail "man -l warns: $out"
else
  skip "man"
fi

# --- completion
bash -n "$completion" || fail "bash -n on the completion"
if [ -f /usr/share/bash-completion/bash_completion ]; then
  # A stand-in for the daemon's -servers output (what the control client
  # prints: the table without its final OK), with a stray line that must not
  # be offered.
  fake=$tmp/bin/tarvelsvc
  mkdir -p "$tmp/bin"
  cat >"$fake" <<'FAKE'
#!/bin/sh
[ "$1" = -servers ] || exit 1
cat <<OUT
127.0.0.1:8001  pid 4242  running                    uptime 0:01:02  restarts 0  last end -
127.0.0.1:8002  pid 4243  running                    uptime 0:00:03  restarts 1  last end signal 9 at 2026-12-07 12:00:00
[::1]:9001      pid -     throttled until 12:02:00   uptime -        restarts 5  last end exit 3 at 2026-12-07 12:00:00
warning: something else
OUT
FAKE
  chmod +x "$fake"
  out=$(bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    # Completes the line as bash would split it: COMP_WORDBREAKS holds ":".
    complete_line() {
      COMP_LINE=$1 COMP_POINT=${#1}
      local rest=${1//:/ : }
      read -ra COMP_WORDS <<<"$rest"
      [[ $1 == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMPREPLY=()
      _tarvelsvc
      echo "$2: ${COMPREPLY[*]}"
    }
    complete_line "$2 -sto" switches
    complete_line "$2 -servers -" json
    complete_line "$2 -stopserver " servers
    complete_line "$2 -restartserver 127.0.0.1:80" colon
  ' _ "$dest/usr/share/bash-completion/completions/tarvelsvc" "$fake" 2>&1)
  expect() { grep -qxF -- "$1" <<<"$out" || fail "completion: expected '$1' in: $out"; }
  expect "switches: -stop -stopserver"
  expect "json: -json"
  expect "servers: 127.0.0.1:8001 127.0.0.1:8002 [::1]:9001"
  expect "colon: 8001 8002"
else
  skip "bash-completion"
fi

# --- log rotation
snippet=$dest/etc/logrotate.d/tarvelsvc
if command -v logrotate >/dev/null; then
  logs=$tmp/log
  mkdir -p "$logs"
  sed "s|/var/log/tarvel/|$logs/|g; /^ *su /d" "$snippet" >"$tmp/logrotate.conf"
  logrotate -d -s "$tmp/state" "$tmp/logrotate.conf" >"$tmp/lr.out" 2>&1 ||
    fail "logrotate -d: $(cat "$tmp/lr.out")"
  echo "old line" >"$logs/Service.log"
  echo "old out" >"$logs/Service.out"
  echo "old server" >"$logs/AppServer_127.0.0.1_8001.log"
  exec 3>>"$logs/Service.out" 4>>"$logs/AppServer_127.0.0.1_8001.log"
  logrotate -f -s "$tmp/state" "$tmp/logrotate.conf" >"$tmp/lr.out" 2>&1 ||
    fail "logrotate -f: $(cat "$tmp/lr.out")"
  echo "new out" >&3
  echo "new server" >&4
  exec 3>&- 4>&-
  [ ! -e "$logs/Service.log" ] || fail "Service.log was not moved away"
  [ "$(zcat "$logs/Service.log.1.gz" 2>/dev/null)" = "old line" ] || fail "Service.log.1.gz"
  [ "$(cat "$logs/Service.out")" = "new out" ] || fail "Service.out was not truncated in place"
  [ "$(zcat "$logs/Service.out.1.gz" 2>/dev/null)" = "old out" ] || fail "Service.out.1.gz"
  [ "$(cat "$logs/AppServer_127.0.0.1_8001.log")" = "new server" ] ||
    fail "the server's output file was not truncated in place"
  [ "$(zcat "$logs/AppServer_127.0.0.1_8001.log.1.gz" 2>/dev/null)" = "old server" ] ||
    fail "AppServer_127.0.0.1_8001.log.1.gz"
else
  skip "logrotate"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "install tree: all checks passed"
