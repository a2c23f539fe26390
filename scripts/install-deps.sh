#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# something is missing. apt-get update runs only then.
set -euo pipefail
# clang and libclang-rt-14-dev (libFuzzer) build the fuzzers of fuzz/.
# libmicrohttpd-dev serves the metrics endpoint; prometheus brings promtool
# (checks of the exposition and the rules) and the engine of the landscape's
# --prometheus run. chromium, headless, renders the status page in its test.
packages=(cmake g++ ninja-build pkg-config libgtest-dev librapidxml-dev perl libxml2-utils iproute2
          clang libclang-rt-14-dev libmicrohttpd-dev prometheus chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then sudo=sudo; else sudo=; fi
  echo "running ${sudo:+sudo }apt-get update and apt-get install for the missing packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
