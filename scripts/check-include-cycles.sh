#!/usr/bin/env bash
# Fails when the project's includes form a cycle. Every C and C++ file of the project (build
# folders and hidden ones left out) is read for its #include "..." lines, resolved from the
# project's root, else beside the including file; anything else is a system header. Two graphs are checked with tsort, which reports a loop:
#   files    a header and its source are one node (foo.h and foo.cpp), so "a.cpp includes b.h
#            while b.cpp includes a.h" counts as the cycle it is;
#   folders  each folder is a node (epoll/, orvanta/http/ ...), so the layers depend one way.
# Usage: scripts/check-include-cycles.sh. Prints each loop found; exit status 1 when any.
set -euo pipefail
cd "$(dirname "$0")/.."

node_of() {  # foo/bar.cpp -> foo/bar
  local path=$1
  echo "${path%.*}"
}

file_edges=()
folder_edges=()
while IFS= read -r file; do
  dir=$(dirname "$file")
  while IFS= read -r included; do
    if [ -f "$included" ]; then
      target=$included
    elif [ -f "$dir/$included" ]; then
      target=$(realpath --relative-to=. "$dir/$included")
    else
      continue
    fi
    from=$(node_of "$file")
    to=$(node_of "$target")
    [ "$from" = "$to" ] || file_edges+=("$from $to")
    [ "$dir" = "$(dirname "$target")" ] || folder_edges+=("$dir $(dirname "$target")")
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
done < <(find . -mindepth 1 \( -name 'build*' -o -name '.*' \) -prune -o -type f \
  \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \) -printf '%P\n' | sort)

if [ ${#file_edges[@]} -eq 0 ]; then
  echo "no project includes found: nothing was checked"
  exit 1
fi

status=0
check() {
  local what=$1
  shift
  local out
  if ! out=$(printf '%s\n' "$@" | tsort 2>&1 >/dev/null); then
    echo "include cycle among $what:"
    sed -E 's/^tsort: -: input contains a loop:$/  loop:/; s/^tsort: /    /' <<<"$out"
    status=1
  fi
}
check files "${file_edges[@]}"
check folders "${folder_edges[@]}"
[ $status -ne 0 ] || echo "no include cycle among ${#file_edges[@]} file and ${#folder_edges[@]} folder dependencies"
exit $status
