#!/usr/bin/env bash
# The include-order check passes on the tree and refuses, naming file and
# reason, a header of a library the including code does not depend on, in
# sources and tests alike, and a relative path out of the directory.
set -u
root=$1
fail() { echo "FAIL: $*"; exit 1; }

"$root/scripts/check-includes" "$root" || fail "the tree itself breaks the include order"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/src/baselib" "$tree/src/config" "$tree/src/appserver" "$tree/src/endpoints" \
         "$tree/tests/foundation" "$tree/tests/common" "$tree/bench"
printf '#include "baselib/kx_list.h"\n#include "foundation/Log.h"\n' > "$tree/src/baselib/kx_a.c"
printf '#include "foundation/Log.h"\n#include "servicectl/Service.h"\n' > "$tree/src/config/B.cpp"
printf '#include "config/ConfigFile.h"\n#include "servicectl/Service.h"\n#include "kx_near.h"\n' \
  > "$tree/src/appserver/C.cpp"
printf '#include "foundation/Log.h"\n#include "config/ServiceSettings.h"\n' > "$tree/src/endpoints/G.cpp"
printf '#include "common/test_util.h"\n#include "config/TarvelEnv.h"\n' > "$tree/tests/foundation/d_test.cpp"
printf '#include "../src/baselib/kx_list.h"\n' > "$tree/tests/common/e.h"
printf '#include "service/main.h"\n#include "../tests/x.h"\n' > "$tree/bench/f_bench.cpp"

out=$("$root/scripts/check-includes" "$tree") && fail "offences passed"
expected="src/baselib/kx_a.c: #include \"foundation/Log.h\": foundation is not a library this code depends on
src/config/B.cpp: #include \"servicectl/Service.h\": servicectl is not a library this code depends on
src/endpoints/G.cpp: #include \"config/ServiceSettings.h\": config is not a library this code depends on
tests/common/e.h: #include \"../src/baselib/kx_list.h\": includes by a relative path out of its directory
tests/foundation/d_test.cpp: #include \"config/TarvelEnv.h\": config is not a library this code depends on"
[ "$(sort <<<"$out")" = "$expected" ] || fail "unexpected report:
$out"
echo ok
