#!/usr/bin/env bash
# The include check on small planted trees: each circle it must catch fails it, naming the
# files; the same trees with the circle cut pass, so a check that always fails fails here too.
# Usage: include_cycles_test.sh path/to/check-include-cycles.sh
set -u
check=${1:?usage: include_cycles_test.sh path/to/check-include-cycles.sh}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# plant DIR FILE TEXT...: writes the lines of TEXT to DIR/FILE.
plant() {
  local dir=$1 file=$2
  shift 2
  mkdir -p "$dir/$(dirname "$file")"
  printf '%s\n' "$@" >"$dir/$file"
}

expect() {  # expect pass|fail NAME DIR [TEXT THE OUTPUT MUST HOLD]
  local want=$1 name=$2 dir=$3 needle=${4:-}
  local out status
  out=$(bash "$check" "$dir" 2>&1)
  status=$?
  case "$want" in
    pass) [ $status -eq 0 ] || fail "$name: the check failed: $out" ;;
    fail) [ $status -eq 1 ] || fail "$name: the check passed (status $status): $out" ;;
  esac
  [ -z "$needle" ] || grep -qF -- "$needle" <<<"$out" || fail "$name: '$needle' not in: $out"
}

# 1. A header that declares what another source defines: conn.cpp calls accept.cpp, which
#    starts connections through a function declared in server.h and defined in conn.cpp.
callback_tree() {  # callback_tree DIR CALLED_BACK
  local dir=$1 called_back=$2
  plant "$dir" srv/server.h '#pragma once' 'struct Server;' 'void StartConnection(Server& s);'
  plant "$dir" srv/accept.h '#pragma once' 'struct Server;' 'void OnClosed(Server& s);'
  plant "$dir" srv/accept.cpp '#include "srv/accept.h"' '#include "srv/server.h"' \
    'void OnClosed(Server& s) {' '    StartConnection(s);' '}'
  if [ "$called_back" = yes ]; then
    plant "$dir" srv/conn.cpp '#include "srv/accept.h"' '#include "srv/server.h"' \
      'void StartConnection(Server& s) {' '    OnClosed(s);' '}'
  else
    plant "$dir" srv/conn.cpp '#include "srv/server.h"' \
      'void StartConnection(Server& s) {' '}'
  fi
}
callback_tree "$root/callback" yes
expect fail "a call back through another header" "$root/callback" "srv/accept"
callback_tree "$root/oneway" no
expect pass "the same calls one way" "$root/oneway"

# 2. The plain circle the same-named pairing always caught: a.cpp includes b.h, b.cpp a.h.
plant "$root/pair" a.h '#pragma once' 'void A();'
plant "$root/pair" b.h '#pragma once' 'void B();'
plant "$root/pair" a.cpp '#include "a.h"' '#include "b.h"' 'void A() {' '    B();' '}'
plant "$root/pair" b.cpp '#include "b.h"' '#include "a.h"' 'void B() {' '    A();' '}'
expect fail "a.cpp and b.cpp include each other's header" "$root/pair" "loop"

# 3. A module's interface implemented by several sources joins none of them: one source using
#    another through it is no circle.
plant "$root/module" m/api.h '#pragma once' 'void Start();' 'long Now();'
plant "$root/module" m/wheel.h '#pragma once' 'void Turn();'
plant "$root/module" m/loop.cpp '#include "m/api.h"' '#include "m/wheel.h"' 'void Start() {' '    Turn();' '}'
plant "$root/module" m/clock.cpp '#include "m/api.h"' 'long Now() {' '    return 0;' '}'
plant "$root/module" m/wheel.cpp '#include "m/wheel.h"' '#include "m/api.h"' 'void Turn() {' '    Now();' '}'
expect pass "an interface several sources implement" "$root/module"

# 4. Folders depend one way.
plant "$root/folders" low/x.h '#pragma once' '#include "high/y.h"'
plant "$root/folders" high/y.h '#pragma once'
plant "$root/folders" high/z.h '#pragma once' '#include "low/x.h"'
plant "$root/folders" low/w.h '#pragma once' '#include "high/z.h"'
expect fail "two folders including each other" "$root/folders" "include cycle among folders"

[ $failures -eq 0 ] && echo "all include check cases passed"
exit $((failures != 0))
