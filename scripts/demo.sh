#!/usr/bin/env bash
# Builds tarvelsvc and runs it in the foreground on the bundled demo
# installation: two application servers on 127.0.0.1:8001 and :8002.
# Ctrl-C stops them gently. The installation is laid out afresh in
# $TARVEL_DEMO_DIR (default: demo-run/ in the checkout). Debian packages the
# build needs and lacks are installed first with apt-get, which says so.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$root/build" -G Ninja -DTARVEL_TESTS=OFF -DTARVEL_BENCH=OFF >/dev/null
cmake --build "$root/build" -j "$(nproc 2>/dev/null || echo 2)"

dir=${TARVEL_DEMO_DIR:-$root/demo-run}
rm -rf "$dir"
mkdir -p "$dir"
cp -a "$root/demo/." "$dir/"
mkdir -p "$dir/log" "$dir/webroot"
# The demo's interpreter is the system perl.
rm -f "$dir/perl/bin/perl"
mkdir -p "$dir/perl/bin"
ln -s "$(command -v perl)" "$dir/perl/bin/perl"

export TARVEL="$dir"
export TARVEL_CARTRIDGES="$dir/cartridges"
export TARVEL_PERL="$dir/perl"
export TARVEL_WEBROOT="$dir/webroot"
export TARVEL_CONFIG="$dir/config"
export TARVEL_LOG="$dir/log"
export TARVEL_IPLIST=127.0.0.1

cat <<MSG
tarvelsvc demo
  installation: $dir
  log:          $dir/log/Service.log   (tail -f it in another terminal)
  servers:      http://127.0.0.1:8001/  and  http://127.0.0.1:8002/
Press Ctrl-C to stop the service; it asks both servers to shut down first.
MSG
exec "$root/build/tarvelsvc" -console
