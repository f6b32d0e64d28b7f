#!/usr/bin/env bash
# Every relative link in the documentation leads somewhere: to a file of the repository, and,
# when it names a heading (#anchor) of a Markdown page, to a heading of that page. Pages move and
# headings are renamed as the docs grow; a reader should not meet the result.
#
#   check-links.sh ROOT
#
# ROOT is the repository: its README.md and every *.md under docs/ (less docs/pending/) are read.
# Anchors are made from headings as GitHub makes them: lower case, everything but letters,
# digits, spaces, '-' and '_' dropped, spaces turned into '-'.
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 ROOT" >&2
    exit 2
fi
cd "$1" || exit 2

pages=$( (echo README.md; find docs -name '*.md' -not -path 'docs/pending/*') | sort)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One line per heading ("A<TAB>page<TAB>anchor") and per link ("L<TAB>page<TAB>line<TAB>target"),
# fenced code left out.
awk '
    FNR == 1 { fenced = 0 }
    /^```/ { fenced = !fenced; next }
    fenced { next }
    /^#+ / {
        h = $0
        sub(/^#+ /, "", h)
        h = tolower(h)
        gsub(/[^a-z0-9 _-]/, "", h)
        gsub(/ /, "-", h)
        printf "A\t%s\t%s\n", FILENAME, h
    }
    {
        line = $0
        gsub(/`[^`]*`/, "", line)  # a link spelled inside code is not a link
        while (match(line, /\]\([^)]+\)/)) {
            printf "L\t%s\t%d\t%s\n", FILENAME, FNR, substr(line, RSTART + 2, RLENGTH - 3)
            line = substr(line, RSTART + RLENGTH)
        }
    }' $pages >"$work/all"

grep '^A' "$work/all" | cut -f2,3 >"$work/anchors"
failures=0
links=0
while IFS=$'\t' read -r _ page line target; do
    case "$target" in
        http://* | https://* | mailto:*) continue ;;
    esac
    links=$((links + 1))
    path=${target%%#*}
    anchor=
    if [ "$path" != "$target" ]; then anchor=${target#*#}; fi
    if [ -z "$path" ]; then
        file=$page
    else
        file=$(realpath -m --relative-to=. "$(dirname "$page")/$path")
    fi
    if [ ! -e "$file" ]; then
        echo "FAIL $page:$line: $target: no such file ($file)" >&2
        failures=$((failures + 1))
        continue
    fi
    if [ -n "$anchor" ] && [[ $file == *.md ]] && ! grep -qxF "$file"$'\t'"$anchor" "$work/anchors"; then
        echo "FAIL $page:$line: $target: $file has no heading #$anchor" >&2
        failures=$((failures + 1))
    fi
done < <(grep '^L' "$work/all")

echo "$links relative links in $(echo "$pages" | wc -l) pages; $failures broken"
[ $links -gt 0 ] && [ $failures -eq 0 ]
