#!/usr/bin/env bash
# Fails when the project's includes form a cycle. Every C and C++ file of the project (build
# folders and hidden ones left out) is read for its #include "..." lines, resolved from the
# project's root, else beside the including file; anything else is a system header. Two graphs
# are checked with tsort, which reports a loop:
#   files    a header and the source that defines what it declares are one node: foo.h goes with
#            foo.cpp, and also with the one source that includes foo.h and defines every function
#            foo.h declares that the project defines (such a header is that source's interface
#            under another name, so "a.cpp calls b.cpp, which calls back a function of a.cpp
#            declared in c.h" counts as the cycle it is). A header whose functions several
#            sources define (a module's interface, or one with implementations to choose from,
#            as the host library's) joins none of them;
#   folders  each folder is a node (epoll/, orvanta/http/ ...), so the layers depend one way.
# Usage: scripts/check-include-cycles.sh [ROOT] (default: this repository). Prints each loop
# found; exit status 1 when any.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

node_of() {  # foo/bar.cpp -> foo/bar
  local path=$1
  echo "${path%.*}"
}

# Top-level functions of a file, one "decl NAME" or "def NAME" a line: a statement that starts in
# column 0 with a name followed by "(", a declaration when ";" ends it before any "{". Members
# (qualified names) and the declarations of types, namespaces and templates are left out.
functions_of() {
  awk '
    function flush(   head, name) {
      if (text == "") return
      head = text
      sub(/[;{].*/, "", head)
      if (match(head, /[A-Za-z_][A-Za-z_0-9]*[[:space:]]*\(/) && head !~ /::[A-Za-z_0-9~]*[[:space:]]*\(/) {
        name = substr(head, RSTART, RLENGTH)
        sub(/[[:space:]]*\($/, "", name)
        if (name !~ /^(if|for|while|switch|return|sizeof|decltype|alignas|static_assert)$/)
          print (kind == ";" ? "decl " : "def ") name
      }
      text = ""
    }
    text == "" && /^[A-Za-z_]/ && !/^(struct|class|union|enum|namespace|using|typedef|template|static_assert)[^A-Za-z_0-9]/ &&
        !/^extern "C"[[:space:]]*\{/ { text = $0 }
    text == "" { next }
    text != $0 { text = text " " $0 }
    {
      semi = index(text, ";"); brace = index(text, "{")
      if (semi == 0 && brace == 0) next
      kind = (brace == 0 || (semi > 0 && semi < brace)) ? ";" : "{"
      flush()
    }
  ' "$1"
}

files=()
while IFS= read -r file; do files+=("$file"); done < <(find . -mindepth 1 \( -name 'build*' -o -name '.*' \) -prune \
  -o -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' \) -printf '%P\n' | sort)

# Each file's resolved project includes, as "file included" lines.
include_lines=()
for file in "${files[@]}"; do
  dir=$(dirname "$file")
  while IFS= read -r included; do
    if [ -f "$included" ]; then
      include_lines+=("$file $included")
    elif [ -f "$dir/$included" ]; then
      include_lines+=("$file $(realpath --relative-to=. "$dir/$included")")
    fi
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
done

if [ ${#include_lines[@]} -eq 0 ]; then
  echo "no project includes found: nothing was checked"
  exit 1
fi

declare -A includes    # "file included" -> 1
declare -A defined_in  # function -> the sources that define it
declare -A parent      # node -> the node it was joined to
for line in "${include_lines[@]}"; do includes[$line]=1; done
for file in "${files[@]}"; do
  case "$file" in *.h | *.hpp) continue ;; esac
  while read -r kind name; do
    [ "$kind" = def ] || continue
    case " ${defined_in[$name]:-} " in *" $file "*) ;; *) defined_in[$name]="${defined_in[$name]:-} $file" ;; esac
  done < <(functions_of "$file")
done

find_node() {  # the node a node was joined to, followed to its end
  local node=$1
  while [ -n "${parent[$node]:-}" ]; do node=${parent[$node]}; done
  echo "$node"
}

join_nodes() {
  local a b
  a=$(find_node "$1")
  b=$(find_node "$2")
  [ "$a" = "$b" ] || parent[$a]=$b
}

for header in "${files[@]}"; do
  case "$header" in *.h | *.hpp) ;; *) continue ;; esac
  owner=""
  while read -r kind name; do
    [ "$kind" = decl ] || continue
    read -r -a sources <<<"${defined_in[$name]:-}"
    [ ${#sources[@]} -ne 0 ] || continue
    if [ ${#sources[@]} -ne 1 ] || { [ -n "$owner" ] && [ "$owner" != "${sources[0]}" ]; }; then
      owner=""
      break
    fi
    owner=${sources[0]}
  done < <(functions_of "$header")
  [ -n "$owner" ] && [ -n "${includes["$owner $header"]:-}" ] || continue
  join_nodes "$(node_of "$header")" "$(node_of "$owner")"
done

file_edges=()
folder_edges=()
for line in "${include_lines[@]}"; do
  read -r file target <<<"$line"
  from=$(find_node "$(node_of "$file")")
  to=$(find_node "$(node_of "$target")")
  [ "$from" = "$to" ] || file_edges+=("$from $to")
  [ "$(dirname "$file")" = "$(dirname "$target")" ] || folder_edges+=("$(dirname "$file") $(dirname "$target")")
done

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
[ ${#folder_edges[@]} -eq 0 ] || check folders "${folder_edges[@]}"
[ $status -ne 0 ] || echo "no include cycle among ${#file_edges[@]} file and ${#folder_edges[@]} folder dependencies"
exit $status
