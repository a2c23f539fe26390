#!/usr/bin/env bash
# Builds the Debian package with Debian's own tooling (dpkg-buildpackage
# -us -uc -b on a copy of the tree in build-deb/) and checks it with lintian:
# any lintian error fails the build.
#   scripts/package.sh           build-deb/tarvelsvc_<version>_<arch>.deb
#   scripts/package.sh --check   then installs it into this machine's root
#                                (dpkg -i), runs `tarvelsvc -version` and
#                                `man -w tarvelsvc`, checks the user, the
#                                units, the metrics job and rules, the log
#                                rotation, and purges it.
# Installs what the build needs first (tools and the Build-Depends of
# debian/control). DEB_BUILD_OPTIONS defaults to "nocheck parallel=<cores>":
# scripts/test.sh runs the tests; set it (even empty) to choose yourself.
# ccache is used when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

if [ "$(id -u)" != 0 ]; then sudo=sudo; else sudo=; fi
jobs=$(nproc 2>/dev/null || echo 2)

tools=(dpkg-dev debhelper fakeroot lintian)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
updated=0
if [ ${#missing[@]} -gt 0 ]; then
  echo "running apt-get to install: ${missing[*]}"
  $sudo apt-get update -qq
  updated=1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
if ! dpkg-checkbuilddeps "$root/debian/control" >/dev/null 2>&1; then
  echo "running apt-get build-dep to install the Build-Depends of debian/control"
  [ "$updated" = 1 ] || $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -qq "$root"
fi

version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
out=$root/build-deb
stage=$out/tarvelsvc-$version
deb=$out/tarvelsvc_${version}_${arch}.deb

# A copy of the tree without build directories or ignored files. Its path
# stays the same from run to run, so that ccache finds its objects again.
rm -rf "$out"
mkdir -p "$stage"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    tar -C "$root" --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$stage" -xf -
else
  tar -C "$root" --exclude='./build*' --exclude=./demo-run --exclude=./.git -cf - . |
    tar -C "$stage" -xf -
fi

extra=""
if command -v ccache >/dev/null; then
  extra="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  # debhelper gives the build a HOME of its own inside the tree, and with it
  # an empty cache: name the caller's cache instead.
  CCACHE_DIR=${CCACHE_DIR:-$(ccache --get-config cache_dir 2>/dev/null || true)}
  [ -z "$CCACHE_DIR" ] || export CCACHE_DIR
fi
echo "== dpkg-buildpackage -us -uc -b (${DEB_BUILD_OPTIONS-nocheck parallel=$jobs})"
(cd "$stage" &&
  DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS-nocheck parallel=$jobs} TARVEL_CMAKE_EXTRA=$extra \
    dpkg-buildpackage -us -uc -b)
[ -f "$deb" ] || { echo "no package was built: $deb" >&2; exit 1; }
echo "built in $SECONDS s"

echo "== lintian"
lintian -I --fail-on error "$deb"
# The demo is copied before use: its perl link must not be relative (see
# debian/rules), or it dangles in the copy.
perl_link=$(dpkg-deb -c "$deb" |
  awk '$6 == "./usr/share/tarvelsvc/demo/perl/bin/perl" && $7 == "->" { print $8 }')
if [ "$perl_link" != /usr/bin/perl ]; then
  echo "the package's demo/perl/bin/perl links to '$perl_link', not /usr/bin/perl" >&2
  exit 1
fi
echo "built and checked $deb ($SECONDS s)"

[ "$check" = 1 ] || exit 0

# --- install, use and purge the package on this machine
echo "== installing the package on this machine"
if dpkg-query -W -f='${Status}' tarvelsvc 2>/dev/null | grep -q 'ok installed'; then
  echo "tarvelsvc is already installed here; the check would purge it." >&2
  echo "Remove it first: dpkg --purge tarvelsvc" >&2
  exit 1
fi
# The package keeps its system user on purge, as Debian does; the check
# leaves the machine as it found it.
had_user=0
getent passwd tarvel >/dev/null && had_user=1
purge() {
  $sudo dpkg --purge tarvelsvc >/dev/null 2>&1 || true
  if [ "$had_user" = 0 ] && getent passwd tarvel >/dev/null; then
    $sudo deluser --system --quiet tarvel >/dev/null 2>&1 || true
    if getent group tarvel >/dev/null; then
      $sudo delgroup --system --quiet tarvel >/dev/null 2>&1 || true
    fi
  fi
  return 0
}
trap purge EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

$sudo dpkg -i "$deb"
echo "installed ($SECONDS s)"
got=$(/usr/sbin/tarvelsvc -version 2>&1) || fail "tarvelsvc -version exited $?: $got"
[ "$got" = "tarvelsvc $version" ] || fail "tarvelsvc -version printed '$got', not 'tarvelsvc $version'"
page=$(man -w tarvelsvc 2>&1) || fail "man -w tarvelsvc: $page"
[ "$page" = /usr/share/man/man8/tarvelsvc.8.gz ] || fail "man -w tarvelsvc found '$page'"
getent passwd tarvel >/dev/null || fail "no system user tarvel"
[ "$(stat -c %U /var/log/tarvel 2>/dev/null)" = tarvel ] || fail "/var/log/tarvel is not tarvel's"
[ -f /lib/systemd/system/tarvelsvc.service ] || fail "the unit is not installed"
if ls /etc/systemd/system/*.wants/tarvelsvc.service >/dev/null 2>&1; then
  fail "the unit was enabled"
fi
grep -q '^ExecStart=/usr/sbin/tarvelsvc ' /lib/systemd/system/tarvelsvc.service ||
  fail "the unit does not run /usr/sbin/tarvelsvc"
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify /lib/systemd/system/tarvelsvc.service 2>&1) ||
    fail "systemd-analyze verify of the installed unit: $out"
fi
# The node-exporter path: the metrics timer and its job (disabled, naming
# the packaged executable), the rules, and what the job writes without a
# service.
for u in tarvelsvc-metrics.service tarvelsvc-metrics.timer; do
  [ -f /lib/systemd/system/$u ] || fail "$u is not installed"
done
if ls /etc/systemd/system/*.wants/tarvelsvc-metrics.timer >/dev/null 2>&1; then
  fail "the metrics timer was enabled"
fi
grep -q '^ExecStart=.* /usr/sbin/tarvelsvc -metrics ' /lib/systemd/system/tarvelsvc-metrics.service ||
  fail "the metrics job does not run /usr/sbin/tarvelsvc"
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify /lib/systemd/system/tarvelsvc-metrics.timer \
        /lib/systemd/system/tarvelsvc-metrics.service 2>&1) ||
    fail "systemd-analyze verify of the metrics timer and job: $out"
fi
rules=/usr/share/tarvelsvc/prometheus/tarvelsvc.rules.yml
[ -f "$rules" ] || fail "the alerting rules are not installed"
if command -v promtool >/dev/null; then
  out=$(promtool check rules "$rules" 2>&1) || fail "promtool check rules $rules: $out"
fi
[ -f /usr/share/doc/tarvelsvc/examples/tarvelsvc-jit.conf ] || fail "no drop-in for JIT runtimes"
nothing=$(mktemp -d)
status=0
got=$(TARVEL=$nothing TARVEL_LOG=$nothing /usr/sbin/tarvelsvc -metrics 2>/dev/null) || status=$?
rm -rf "$nothing"
[ "$status" = 3 ] && grep -qx 'tarvel_service_up 0' <<<"$got" ||
  fail "tarvelsvc -metrics without a service exited $status and printed: $got"
logrotate -d /etc/logrotate.d/tarvelsvc >/dev/null 2>&1 || fail "logrotate -d /etc/logrotate.d/tarvelsvc"
[ -f /usr/share/bash-completion/completions/tarvelsvc ] || fail "no bash completion"

echo "== purging the package"
$sudo dpkg --purge tarvelsvc
purge
trap - EXIT
[ ! -e /usr/sbin/tarvelsvc ] || fail "/usr/sbin/tarvelsvc is left after the purge"
[ ! -e /etc/logrotate.d/tarvelsvc ] || fail "/etc/logrotate.d/tarvelsvc is left after the purge"
[ ! -e /lib/systemd/system/tarvelsvc-metrics.timer ] || fail "the metrics timer is left after the purge"
[ ! -e /var/log/tarvel ] || fail "/var/log/tarvel is left after the purge"

if [ "$failures" -ne 0 ]; then
  echo "package check: $failures failure(s)" >&2
  exit 1
fi
echo "package check passed ($SECONDS s)"
